#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpSocket>

#include <optional>

namespace e2e {

// One masked client frame. rsv holds the three reserved bits (RSV1 = 4, RSV2 = 2, RSV3 = 1).
QByteArray clientFrame(quint8 opcode, const QByteArray &payload, bool fin = true, quint8 rsv = 0);

// A minimal WebSocket client that writes frames by hand, for what QWebSocket cannot send:
// a message's frames spread over time, interleaved with other clients, reserved bits set,
// invalid UTF-8 in a text frame. Plain ws:// to 127.0.0.1 only.
class RawWsClient : public QObject
{
    Q_OBJECT
public:
    enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

    RawWsClient();

    // TCP connect plus the opening handshake; false (see errorString) when either fails.
    bool open(quint16 port, const QByteArray &subprotocol = {}, int timeoutMs = 20000);
    QString errorString() const { return m_error; }

    // One masked frame. rsv holds the three reserved bits (RSV1 = 4, RSV2 = 2, RSV3 = 1).
    void sendFrame(quint8 opcode, const QByteArray &payload, bool fin = true, quint8 rsv = 0);

    // The next complete data message (text or binary); nullopt on time-out or close.
    std::optional<QByteArray> nextMessage(int timeoutMs = 10000);
    bool expectSilence(int ms);
    // True once the server has sent a close frame or dropped the connection.
    bool waitClosed(int timeoutMs);
    bool isClosed() const { return m_closed; }
    int closeCode() const { return m_closeCode; }

private:
    void onReadyRead();
    void parseFrames();

    QTcpSocket m_socket;
    QByteArray m_buffer;
    QByteArray m_partial;
    bool m_handshakeDone = false;
    bool m_handshakeFailed = false;
    bool m_closed = false;
    int m_closeCode = -1;
    QList<QByteArray> m_messages;
    QString m_error;
};

} // namespace e2e
