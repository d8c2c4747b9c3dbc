#!/usr/bin/env bash
# The README's two commands on a bare Debian 12. Makes a minimal Debian 12 root with debootstrap
# (from the Debian archive that this machine's own apt sources name; none named stops it),
# copies the tracked files of this tree into it (no build folders), and runs as root inside it
# (chroot):
#   run   scripts/run.sh, until the service answers Getinfo on ws://127.0.0.1:8142/; then SIGTERM
#   test  scripts/test.sh, the whole default suite
# A command's first step installs packages, which needs the archive: that step (the same
# scripts/deps.sh call) runs first with this machine's network, then the command itself runs in
# a network namespace of its own, where 8142 and 8143 are private. Prints the time of each phase
# and the disk used. By hand, as root; not part of CI.
# Usage: scripts/fresh-debian.sh [ROOT]   (default build-fresh-debian/ in this tree; replaced)
set -euo pipefail

# ---- Inside the network namespace: one command in the root, on loopback only.
if [ "${1:-}" = "--in-namespace" ]; then
    root=$2 command=$3
    ip link set lo up
    in_root=(chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             HOME=/root LANG=C.UTF-8 CMAKE_BUILD_PARALLEL_LEVEL=2 /bin/bash -c)
    if [ "$command" = test ]; then
        exec "${in_root[@]}" 'cd /src/mirvale && scripts/test.sh'
    fi
    # run.sh execs the service, so this pid ends up being the service's own.
    "${in_root[@]}" 'cd /src/mirvale && exec scripts/run.sh' &
    service=$!
    trap 'kill -TERM "$service" 2>/dev/null || true' EXIT
    # Building comes first: the wait covers it.
    python3 - "$service" <<'PY'
import base64, json, os, socket, struct, sys, time

service = int(sys.argv[1])

def getinfo():
    s = socket.create_connection(("127.0.0.1", 8142), timeout=5)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:8142\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n"
               % key).encode())
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            raise EOFError("closed during the handshake")
        data += chunk
    head, data = data.split(b"\r\n\r\n", 1)
    if not head.startswith(b"HTTP/1.1 101"):
        raise ValueError(head.decode(errors="replace"))
    payload = json.dumps({"action": "Getinfo", "id": "fresh-debian"}).encode()
    mask = os.urandom(4)
    s.sendall(bytes([0x81, 0x80 | len(payload)]) + mask
              + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
    s.settimeout(30)

    def need(n):
        nonlocal data
        while len(data) < n:
            chunk = s.recv(65536)
            if not chunk:
                raise EOFError("closed before the reply")
            data += chunk

    need(2)
    length, offset = data[1] & 0x7F, 2
    if length == 126:
        need(4)
        length, offset = struct.unpack(">H", data[2:4])[0], 4
    elif length == 127:
        need(10)
        length, offset = struct.unpack(">Q", data[2:10])[0], 10
    need(offset + length)
    return data[offset:offset + length].decode()

deadline = time.monotonic() + 3600
while time.monotonic() < deadline:
    try:
        os.kill(service, 0)
    except ProcessLookupError:
        sys.exit("run.sh ended before the service answered")
    try:
        reply = getinfo()
    except (OSError, EOFError, ValueError):
        time.sleep(1)
        continue
    print("Getinfo over ws: " + reply)
    sys.exit(0 if '"action":"Getinfo"' in reply else 1)
sys.exit("no answer within an hour")
PY
    kill -TERM "$service"
    wait "$service" && code=0 || code=$?
    trap - EXIT
    echo "the service ended with code $code after SIGTERM"
    exit "$code"
fi

# ---- The whole run, in a mount namespace of its own: the root's mounts go when it ends.
self=$(realpath "$0")
cd "$(dirname "$0")/.."
tree=$(pwd)
root=$(realpath -m "${1:-build-fresh-debian}")
logs=$root.logs
[ "$(id -u)" -eq 0 ] || { echo "run as root: debootstrap and chroot need it" >&2; exit 2; }
# The archive named by this machine's own apt sources; none named stops here.
mirror=$(scripts/apt-archive.sh) || exit 1
if [ -z "${MIRVALE_FRESH_NS:-}" ]; then
    scripts/deps.sh fresh
    MIRVALE_FRESH_NS=1 exec unshare --mount --propagation private "$self" "$root"
fi

phase_start=0
begin() {
    printf '\n==== %s (%s)\n' "$1" "$(date +%T)"
    phase_start=$(date +%s)
}
results=()
end() {
    local seconds=$(( $(date +%s) - phase_start ))
    results+=("$(printf '%-34s %4d s  %s' "$1" "$seconds" "$2")")
    echo "---- $1: $2 in $seconds s"
}
summary() {
    printf '\n==== summary\n'
    printf '%s\n' "${results[@]}"
    [ -d "$root" ] && echo "disk used by the root: $(du -shx "$root" | cut -f1)" \
        "(build/ $(du -shx "$root/src/mirvale/build" 2>/dev/null | cut -f1 || echo -)," \
        "build-run/ $(du -shx "$root/src/mirvale/build-run" 2>/dev/null | cut -f1 || echo -))"
    echo "logs: $logs"
}
trap summary EXIT

if [ -e "$root" ]; then
    if findmnt -rn -o TARGET | grep -q "^$root/"; then
        echo "something is still mounted below $root: not removing it" >&2
        exit 1
    fi
    rm -rf "$root"
fi
rm -rf "$logs"
mkdir -p "$logs"

begin "debootstrap bookworm from $mirror"
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$logs/debootstrap.log" 2>&1 \
    || { tail -20 "$logs/debootstrap.log"; end debootstrap failed; exit 1; }
end debootstrap "ok, $(du -shx "$root" | cut -f1)"

begin "the tree and the archive's sources"
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
    rm -f "$root/etc/apt/sources.list"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/src/mirvale"
git -C "$tree" ls-files -z | tar -C "$tree" --null -T - -cf - | tar -C "$root/src/mirvale" -xf -
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/run"
end copy "$(git -C "$tree" ls-files | wc -l) files"

in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 /bin/bash -c "cd /src/mirvale && $1"
}

failed=0
begin "run: its packages (scripts/deps.sh run)"
in_root 'scripts/deps.sh run' >"$logs/run-packages.log" 2>&1 && end "run: packages" ok \
    || { end "run: packages" failed; exit 1; }
begin "run: scripts/run.sh until Getinfo answers"
if unshare --net "$self" --in-namespace "$root" run 2>&1 | tee "$logs/run.log" | grep -E '^Getinfo|^the service'; then
    end "run: build, start, Getinfo, stop" ok
else
    end "run: build, start, Getinfo, stop" failed
    failed=1
fi

begin "test: its packages (scripts/deps.sh test)"
in_root 'scripts/deps.sh test' >"$logs/test-packages.log" 2>&1 && end "test: packages" ok \
    || { end "test: packages" failed; exit 1; }
begin "test: scripts/test.sh"
unshare --net "$self" --in-namespace "$root" test >"$logs/test.log" 2>&1 || true
if grep -q '^100% tests passed' "$logs/test.log"; then
    end "test: build and the default suite" "$(grep -E '^100% tests passed' "$logs/test.log")"
else
    grep -E '^[0-9]+% tests passed|\(Failed\)|\(Timeout\)' "$logs/test.log" || true
    end "test: build and the default suite" "failed (see $logs/test.log)"
    failed=1
fi
exit "$failed"
