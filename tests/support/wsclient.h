#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWebSocket>

#include <optional>

namespace e2e {

// A WebSocket client as a web page has one (QWebSocket), made synchronous for tests: each
// call runs the event loop until its result is there or its time-out has passed.
class WsClient : public QObject
{
    Q_OBJECT
public:
    WsClient();
    ~WsClient() override;

    // ws:// or wss:// (the development certificate is self-signed: TLS errors are ignored).
    // subprotocols go into Sec-WebSocket-Protocol. False when the handshake did not complete.
    bool open(const QUrl &url, const QStringList &subprotocols = {}, int timeoutMs = 20000);
    bool isConnected() const;
    QString errorString() const { return m_error; }

    void sendText(const QByteArray &utf8);
    void sendBinary(const QByteArray &bytes);
    // One text message cut into `pieces` frames (a first frame and continuation frames).
    void sendFragmented(const QByteArray &utf8, int pieces);

    // The next message received (text or binary), in arrival order; nullopt on time-out.
    std::optional<QByteArray> nextMessage(int timeoutMs = 10000);
    // True when no message arrives within ms.
    bool expectSilence(int ms);
    // Sends one message and returns the reply to it.
    std::optional<QByteArray> request(const QByteArray &utf8, int timeoutMs = 10000);

    bool waitDisconnected(int timeoutMs);
    void close();
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QList<QByteArray> m_received;
    QString m_error;
};

// Endpoints of the service.
QUrl wsUrl(quint16 port);
QUrl wssUrl(quint16 port);

} // namespace e2e
