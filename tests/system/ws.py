# Sends one request over ws://127.0.0.1:8142/ and prints the reply (a hand-rolled WebSocket
# client: the root it talks to has no client library). Usage: python3 ws.py JSON [TIMEOUT]
import base64, os, socket, struct, sys

s = socket.create_connection(("127.0.0.1", 8142), timeout=float(sys.argv[2] if len(sys.argv) > 2 else 30))
key = base64.b64encode(os.urandom(16)).decode()
s.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:8142\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % key).encode())
data = b""


def need(n):
    global data
    while len(data) < n:
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("closed before the reply")
        data += chunk


while b"\r\n\r\n" not in data:
    need(len(data) + 1)
head, data = data.split(b"\r\n\r\n", 1)
if not head.startswith(b"HTTP/1.1 101"):
    sys.exit(head.decode(errors="replace"))
payload = sys.argv[1].encode()
mask = os.urandom(4)
length = bytes([0x80 | len(payload)]) if len(payload) < 126 else bytes([0x80 | 126]) + struct.pack(">H", len(payload))
s.sendall(bytes([0x81]) + length + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
need(2)
size, offset = data[1] & 0x7F, 2
if size == 126:
    need(4)
    size, offset = struct.unpack(">H", data[2:4])[0], 4
need(offset + size)
print(data[offset:offset + size].decode())
