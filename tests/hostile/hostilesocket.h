#pragma once

#include "rawwsclient.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A WebSocket client on a bare POSIX socket, for clients that misbehave below what the Qt
// clients allow: never finishing the handshake, never reading, frames a conforming client
// never sends. Every wait is poll(2) on the socket with a time-out; nothing sleeps.
// Plain ws:// to 127.0.0.1 only.
namespace hostile {

using e2e::clientFrame;

class HostileSocket
{
public:
    HostileSocket() = default;
    ~HostileSocket();
    HostileSocket(HostileSocket &&other) noexcept;
    HostileSocket &operator=(HostileSocket &&other) noexcept;
    HostileSocket(const HostileSocket &) = delete;
    HostileSocket &operator=(const HostileSocket &) = delete;

    // TCP connect only. receiveBuffer > 0 shrinks the socket's receive buffer first, so that
    // a client that never reads stops the server's writes early.
    bool connectTcp(quint16 port, int timeoutMs, int receiveBuffer = 0);
    // The opening handshake on a connected socket; false on refusal, close or time-out. In two
    // halves too, so that many clients can wait for their answers at the same time.
    bool handshake(quint16 port, int timeoutMs) { return sendHandshake(port, timeoutMs) && finishHandshake(timeoutMs); }
    bool sendHandshake(quint16 port, int timeoutMs);
    bool finishHandshake(int timeoutMs);
    bool open(quint16 port, int timeoutMs) { return connectTcp(port, timeoutMs) && handshake(port, timeoutMs); }

    // Writes everything, waiting for room while the server reads; false on error or time-out.
    bool sendAll(const QByteArray &bytes, int timeoutMs);
    // Writes what fits now without waiting; the number of bytes written, -1 on error.
    qint64 sendSome(const char *data, qint64 size);

    struct Frame {
        quint8 opcode = 0;
        bool fin = true;
        QByteArray payload;
    };
    // The next frame from the server; nullopt on time-out or end of stream.
    std::optional<Frame> readFrame(int timeoutMs);
    // The next text or binary message, answering pings; nullopt on time-out, close or end.
    std::optional<QByteArray> readMessage(int timeoutMs);
    // Waits for the server's close frame or the end of the stream. The close code (0 when the
    // frame had none, -1 when the stream ended without one); nullopt on time-out.
    std::optional<int> waitClosed(int timeoutMs);

    // True when the server has closed or reset the connection (anything it sent is dropped).
    // Does not wait.
    bool peerClosed();

    bool isOpen() const { return m_fd >= 0; }
    void close();
    int fd() const { return m_fd; }
    QString error() const { return m_error; }

private:
    bool fill(int timeoutMs); // reads what arrives into m_buffer; false on time-out or end

    int m_fd = -1;
    QByteArray m_buffer;
    bool m_ended = false;
    QString m_error;
};


enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

} // namespace hostile
