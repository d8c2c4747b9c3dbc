#include "network/rawwsclient.h"

#include "network/eventwait.h"

#include <QCryptographicHash>
#include <QList>
#include <QRandomGenerator>

#include <chrono>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the events on fd until the deadline; true when they came.
bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, remainingMs(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

const QByteArray kKey = "dGhlIHNhbXBsZSBub25jZQ==";

} // namespace

QByteArray clientFrame(quint8 opcode, const QByteArray &payload, bool fin, quint8 rsv)
{
    QByteArray frame;
    frame.append(char((fin ? 0x80 : 0x00) | ((rsv & 0x7) << 4) | (opcode & 0x0F)));
    const quint64 length = quint64(payload.size());
    if (length < 126) {
        frame.append(char(0x80 | length));
    } else if (length <= 0xFFFF) {
        frame.append(char(0x80 | 126));
        frame.append(char(length >> 8));
        frame.append(char(length & 0xFF));
    } else {
        frame.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char((length >> shift) & 0xFF));
    }
    const quint32 maskValue = QRandomGenerator::global()->generate();
    const char mask[4] = {char(maskValue >> 24), char(maskValue >> 16), char(maskValue >> 8),
                          char(maskValue)};
    frame.append(mask, 4);
    const int start = frame.size();
    frame.append(payload);
    char *data = frame.data() + start;
    for (int i = 0; i < payload.size(); ++i)
        data[i] = char(data[i] ^ mask[i % 4]);
    return frame;
}

int RawWsClient::defaultTimeout()
{
    return scaledTimeout(20000);
}

RawWsClient::~RawWsClient()
{
    close();
}

RawWsClient::RawWsClient(RawWsClient &&other) noexcept
{
    *this = std::move(other);
}

RawWsClient &RawWsClient::operator=(RawWsClient &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_buffer = std::move(other.m_buffer);
        m_handshakeReply = std::move(other.m_handshakeReply);
        m_ended = other.m_ended;
        m_error = std::move(other.m_error);
        other.m_fd = -1;
    }
    return *this;
}

void RawWsClient::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool RawWsClient::open(quint16 port, int timeoutMs)
{
    return connectTcp(port, timeoutMs) && handshake(port, timeoutMs);
}

bool RawWsClient::connectTcp(quint16 port, int timeoutMs, int receiveBuffer, const char *host)
{
    close();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = QStringLiteral("socket: %1").arg(strerror(errno));
        return false;
    }
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        m_error = QStringLiteral("not an IPv4 address: %1").arg(host);
        close();
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS || !waitFor(m_fd, POLLOUT, deadline)) {
            m_error = QStringLiteral("connect: %1").arg(errno == EINPROGRESS ? "time-out" : strerror(errno));
            close();
            return false;
        }
        int failure = 0;
        socklen_t length = sizeof failure;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &failure, &length);
        if (failure != 0) {
            m_error = QStringLiteral("connect: %1").arg(strerror(failure));
            close();
            return false;
        }
    }
    return true;
}

bool RawWsClient::sendHandshake(quint16 port, int timeoutMs, const QByteArray &extraHeaders, const QByteArray &target)
{
    const QByteArray request = "GET " + target + " HTTP/1.1\r\n"
                               "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n"
                               "Upgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Key: " + kKey + "\r\n"
                               "Sec-WebSocket-Version: 13\r\n" + extraHeaders + "\r\n";
    return sendAll(request, timeoutMs);
}

bool RawWsClient::finishHandshake(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int end;
    while ((end = m_buffer.indexOf("\r\n\r\n")) < 0) {
        if (!fill(remainingMs(deadline))) {
            m_error = QStringLiteral("no handshake reply");
            return false;
        }
    }
    const QByteArray head = m_buffer.left(end);
    m_buffer.remove(0, end + 4);
    m_handshakeReply = head;
    if (!head.startsWith("HTTP/1.1 101")) {
        m_error = QStringLiteral("handshake refused: ") + QString::fromUtf8(head.split('\r').first());
        return false;
    }
    const QByteArray accept = QCryptographicHash::hash(kKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                       QCryptographicHash::Sha1).toBase64();
    if (!head.toLower().contains("sec-websocket-accept: " + accept.toLower())) {
        m_error = QStringLiteral("wrong Sec-WebSocket-Accept");
        return false;
    }
    return true;
}

qint64 RawWsClient::sendSome(const char *data, qint64 size)
{
    if (m_fd < 0)
        return -1;
    const ssize_t written = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
    if (written >= 0)
        return written;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

bool RawWsClient::sendFrame(quint8 opcode, const QByteArray &payload, bool fin, quint8 rsv)
{
    return sendAll(clientFrame(opcode, payload, fin, rsv), defaultTimeout());
}

bool RawWsClient::sendAll(const QByteArray &bytes, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = sendSome(bytes.constData() + done, bytes.size() - done);
        if (written < 0) {
            m_error = QStringLiteral("send: %1").arg(strerror(errno));
            return false;
        }
        done += written;
        if (done < bytes.size() && !waitFor(m_fd, POLLOUT, deadline)) {
            m_error = QStringLiteral("send: time-out with %1 of %2 bytes written").arg(done).arg(bytes.size());
            return false;
        }
    }
    return true;
}

bool RawWsClient::fill(int timeoutMs)
{
    if (m_fd < 0 || m_ended)
        return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        char chunk[65536];
        const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (got > 0) {
            m_buffer.append(chunk, int(got));
            return true;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            m_ended = true; // end of stream, or reset
            return false;
        }
        if (!waitFor(m_fd, POLLIN, deadline))
            return false;
    }
}

std::optional<RawWsClient::Frame> RawWsClient::readFrame(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (m_buffer.size() >= 2) {
            const auto byte0 = quint8(m_buffer[0]);
            const auto byte1 = quint8(m_buffer[1]);
            quint64 length = byte1 & 0x7F;
            int offset = 2;
            bool complete = true;
            if (length == 126) {
                complete = m_buffer.size() >= 4;
                if (complete)
                    length = (quint64(quint8(m_buffer[2])) << 8) | quint8(m_buffer[3]);
                offset = 4;
            } else if (length == 127) {
                complete = m_buffer.size() >= 10;
                length = 0;
                for (int i = 2; complete && i < 10; ++i)
                    length = (length << 8) | quint8(m_buffer[i]);
                offset = 10;
            }
            // Server frames are never masked.
            if (complete && quint64(m_buffer.size()) >= offset + length) {
                Frame frame;
                frame.fin = byte0 & 0x80;
                frame.opcode = byte0 & 0x0F;
                frame.payload = m_buffer.mid(offset, int(length));
                m_buffer.remove(0, offset + int(length));
                return frame;
            }
        }
        if (!fill(remainingMs(deadline)))
            return std::nullopt;
    }
}

std::optional<QByteArray> RawWsClient::nextMessage(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QByteArray message;
    for (;;) {
        std::optional<Frame> frame = readFrame(remainingMs(deadline));
        if (!frame || frame->opcode == Close)
            return std::nullopt;
        if (frame->opcode == Ping) {
            sendAll(clientFrame(Pong, frame->payload), remainingMs(deadline));
            continue;
        }
        if (frame->opcode == Pong)
            continue;
        message += frame->payload;
        if (frame->fin)
            return message;
    }
}

bool RawWsClient::peerClosed()
{
    while (fill(0))
        m_buffer.clear();
    return m_ended;
}

std::optional<int> RawWsClient::waitClosed(int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::optional<Frame> frame = readFrame(remainingMs(deadline));
        if (!frame) {
            if (m_ended)
                return -1;
            return std::nullopt;
        }
        if (frame->opcode == Close) {
            if (frame->payload.size() < 2)
                return 0;
            return (quint8(frame->payload[0]) << 8) | quint8(frame->payload[1]);
        }
    }
}

} // namespace testsupport
