#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include <optional>

namespace testsupport {

// A WebSocket client as a web page has one (QWebSocket), made synchronous for tests: each
// call runs the event loop until its result is there or its time-out has passed.
class WsClient : public QObject
{
    Q_OBJECT
public:
    WsClient();
    ~WsClient() override;

    // ws:// or wss:// (the tests' certificates are self-signed: TLS errors are ignored).
    // subprotocols go into Sec-WebSocket-Protocol. False when the handshake did not complete.
    bool open(const QUrl &url, const QStringList &subprotocols = {}, int timeoutMs = 20000);
    bool isConnected() const;
    QString errorString() const { return m_error; }

    void sendText(const QByteArray &utf8);
    void sendText(const QString &text) { sendText(text.toUtf8()); }
    void sendText(const char *utf8) { sendText(QByteArray(utf8)); }
    void sendBinary(const QByteArray &bytes);
    // One text message cut into `pieces` frames (a first frame and continuation frames).
    void sendFragmented(const QByteArray &utf8, int pieces);

    // The next message received (text or binary), in arrival order; nullopt on time-out.
    std::optional<QByteArray> nextMessage(int timeoutMs = 10000);
    // Messages received so far, taken or not.
    int received() const { return m_taken + m_received.size(); }
    // True when no message arrives within ms.
    bool expectSilence(int ms);
    // Sends one message and returns the reply to it.
    std::optional<QByteArray> request(const QByteArray &utf8, int timeoutMs = 10000);

    bool waitDisconnected(int timeoutMs = 20000);
    void close();
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QList<QByteArray> m_received;
    int m_taken = 0;
    QString m_error;
};

// Endpoints of a server on this machine.
QUrl wsUrl(quint16 port, const QString &host = QStringLiteral("127.0.0.1"));
QUrl wssUrl(quint16 port);

} // namespace testsupport

// Opens a client (WsClient or RawWsClient) or fails the current test.
#define ASSERT_OPEN(client, ...)                                                                   \
    ASSERT_TRUE((client).open(__VA_ARGS__)) << "cannot connect: " << (client).errorString().toStdString()
