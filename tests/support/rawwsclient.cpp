#include "rawwsclient.h"

#include "eventwait.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace e2e {

namespace {

const QByteArray kKey = "dGhlIHNhbXBsZSBub25jZQ==";

QByteArray expectedAccept()
{
    return QCryptographicHash::hash(kKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                    QCryptographicHash::Sha1)
        .toBase64();
}

} // namespace

RawWsClient::RawWsClient()
{
    connect(&m_socket, &QTcpSocket::readyRead, this, &RawWsClient::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] { m_closed = true; });
}

bool RawWsClient::open(quint16 port, const QByteArray &subprotocol, int timeoutMs)
{
    m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState
                                   || m_socket.state() == QAbstractSocket::UnconnectedState; },
                   scaledTimeout(timeoutMs))
        || m_socket.state() != QAbstractSocket::ConnectedState) {
        m_error = QStringLiteral("TCP connect failed: ") + m_socket.errorString();
        return false;
    }
    QByteArray handshake = "GET / HTTP/1.1\r\n"
                           "Host: 127.0.0.1:" + QByteArray::number(port) + "\r\n"
                           "Upgrade: websocket\r\n"
                           "Connection: Upgrade\r\n"
                           "Sec-WebSocket-Key: " + kKey + "\r\n"
                           "Sec-WebSocket-Version: 13\r\n";
    if (!subprotocol.isEmpty())
        handshake += "Sec-WebSocket-Protocol: " + subprotocol + "\r\n";
    handshake += "\r\n";
    m_socket.write(handshake);
    if (!waitUntil([this] { return m_handshakeDone || m_handshakeFailed || m_closed; },
                   scaledTimeout(timeoutMs))
        || !m_handshakeDone) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("no handshake reply");
        return false;
    }
    return true;
}

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

void RawWsClient::sendFrame(quint8 opcode, const QByteArray &payload, bool fin, quint8 rsv)
{
    const QByteArray frame = clientFrame(opcode, payload, fin, rsv);
    m_socket.write(frame);
    m_socket.flush();
}

std::optional<QByteArray> RawWsClient::nextMessage(int timeoutMs)
{
    waitUntil([this] { return !m_messages.isEmpty() || m_closed; }, scaledTimeout(timeoutMs));
    if (m_messages.isEmpty())
        return std::nullopt;
    return m_messages.takeFirst();
}

bool RawWsClient::expectSilence(int ms)
{
    waitUntil([this] { return !m_messages.isEmpty(); }, ms);
    return m_messages.isEmpty();
}

bool RawWsClient::waitClosed(int timeoutMs)
{
    return waitUntil([this] { return m_closed; }, scaledTimeout(timeoutMs));
}

void RawWsClient::onReadyRead()
{
    m_buffer += m_socket.readAll();
    if (!m_handshakeDone && !m_handshakeFailed) {
        const int end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, end + 4);
        if (!head.startsWith("HTTP/1.1 101")) {
            m_error = QStringLiteral("handshake refused: ") + QString::fromUtf8(head.split('\r').first());
            m_handshakeFailed = true;
            return;
        }
        if (!head.toLower().contains("sec-websocket-accept: " + expectedAccept().toLower())) {
            m_error = QStringLiteral("wrong Sec-WebSocket-Accept");
            m_handshakeFailed = true;
            return;
        }
        m_handshakeDone = true;
    }
    parseFrames();
}

void RawWsClient::parseFrames()
{
    for (;;) {
        if (m_buffer.size() < 2)
            return;
        const auto byte0 = quint8(m_buffer[0]);
        const auto byte1 = quint8(m_buffer[1]);
        const bool fin = byte0 & 0x80;
        const quint8 opcode = byte0 & 0x0F;
        const bool masked = byte1 & 0x80;
        quint64 length = byte1 & 0x7F;
        int offset = 2;
        if (length == 126) {
            if (m_buffer.size() < 4)
                return;
            length = (quint64(quint8(m_buffer[2])) << 8) | quint8(m_buffer[3]);
            offset = 4;
        } else if (length == 127) {
            if (m_buffer.size() < 10)
                return;
            length = 0;
            for (int i = 2; i < 10; ++i)
                length = (length << 8) | quint8(m_buffer[i]);
            offset = 10;
        }
        const int maskOffset = offset;
        if (masked)
            offset += 4;
        if (quint64(m_buffer.size()) < offset + length)
            return;
        QByteArray payload = m_buffer.mid(offset, int(length));
        if (masked) {
            for (int i = 0; i < payload.size(); ++i)
                payload[i] = char(payload[i] ^ m_buffer[maskOffset + i % 4]);
        }
        m_buffer.remove(0, offset + int(length));

        switch (opcode) {
        case Continuation:
        case Text:
        case Binary:
            m_partial += payload;
            if (fin) {
                m_messages << m_partial;
                m_partial.clear();
            }
            break;
        case Close:
            m_closed = true;
            if (payload.size() >= 2)
                m_closeCode = (quint8(payload[0]) << 8) | quint8(payload[1]);
            return;
        case Ping:
            sendFrame(Pong, payload);
            break;
        default:
            break;
        }
    }
}

} // namespace e2e
