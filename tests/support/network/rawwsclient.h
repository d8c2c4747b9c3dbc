#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace testsupport {

enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

// One masked client frame. rsv holds the three reserved bits (RSV1 = 4, RSV2 = 2, RSV3 = 1).
QByteArray clientFrame(quint8 opcode, const QByteArray &payload, bool fin = true, quint8 rsv = 0);

// A WebSocket client on a bare POSIX socket that writes its frames by hand, for what the Qt
// client cannot do: a message's frames spread over time or interleaved with other clients,
// reserved bits, invalid UTF-8, a handshake never finished, replies never read. Every wait is
// poll(2) on the socket with a time-out; nothing sleeps, and no event loop is needed.
// Plain ws:// over IPv4, to 127.0.0.1 unless told otherwise.
class RawWsClient
{
public:
    RawWsClient() = default;
    ~RawWsClient();
    RawWsClient(RawWsClient &&other) noexcept;
    RawWsClient &operator=(RawWsClient &&other) noexcept;
    RawWsClient(const RawWsClient &) = delete;
    RawWsClient &operator=(const RawWsClient &) = delete;

    // TCP connect plus the opening handshake; false (see errorString) when either fails.
    bool open(quint16 port, int timeoutMs = defaultTimeout());
    // TCP connect only. receiveBuffer > 0 shrinks the socket's receive buffer first, so that
    // a client that never reads stops the server's writes early. host: a numeric IPv4 address.
    bool connectTcp(quint16 port, int timeoutMs, int receiveBuffer = 0, const char *host = "127.0.0.1");
    // The opening handshake on a connected socket; false on refusal (errorString then holds the
    // status line), close or time-out. In two halves too, so that many clients can wait for
    // their answers at the same time. extraHeaders: whole lines, each ended by "\r\n"
    // ("Origin: ...", "Sec-WebSocket-Protocol: ..."); target: the request's path and query.
    bool handshake(quint16 port, int timeoutMs, const QByteArray &extraHeaders = {}, const QByteArray &target = "/")
    {
        return sendHandshake(port, timeoutMs, extraHeaders, target) && finishHandshake(timeoutMs);
    }
    bool sendHandshake(quint16 port, int timeoutMs, const QByteArray &extraHeaders = {},
                       const QByteArray &target = "/");
    bool finishHandshake(int timeoutMs);

    // Writes everything, waiting for room while the server reads; false on error or time-out.
    bool sendAll(const QByteArray &bytes, int timeoutMs);
    // Writes what fits now without waiting; the number of bytes written, -1 on error.
    qint64 sendSome(const char *data, qint64 size);
    // One masked frame, written whole.
    bool sendFrame(quint8 opcode, const QByteArray &payload, bool fin = true, quint8 rsv = 0);

    struct Frame {
        quint8 opcode = 0;
        bool fin = true;
        QByteArray payload;
    };
    // The next frame from the server; nullopt on time-out or end of stream.
    std::optional<Frame> readFrame(int timeoutMs);
    // The next text or binary message, answering pings; nullopt on time-out, close or end.
    std::optional<QByteArray> nextMessage(int timeoutMs = defaultTimeout());
    // True when no message arrives within ms.
    bool expectSilence(int ms) { return !nextMessage(ms); }
    // Waits for the server's close frame or the end of the stream. The close code (0 when the
    // frame had none, -1 when the stream ended without one); nullopt on time-out.
    std::optional<int> waitClosed(int timeoutMs);

    // True when the server has closed or reset the connection (anything it sent is dropped).
    // Does not wait.
    bool peerClosed();

    bool isOpen() const { return m_fd >= 0; }
    void close();
    int fd() const { return m_fd; }
    QString errorString() const { return m_error; }
    // The server's answer to the opening handshake, status line and headers.
    QByteArray handshakeReply() const { return m_handshakeReply; }

private:
    static int defaultTimeout();
    bool fill(int timeoutMs); // reads what arrives into m_buffer; false on time-out or end

    int m_fd = -1;
    QByteArray m_buffer;
    QByteArray m_handshakeReply;
    bool m_ended = false;
    QString m_error;
};

} // namespace testsupport
