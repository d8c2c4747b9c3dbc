#include "network/wsclient.h"

#include "network/eventwait.h"

#include <QEventLoop>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

namespace testsupport {

WsClient::WsClient()
{
    connect(&m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &message) { m_received << message.toUtf8(); });
    connect(&m_socket, &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray &message) { m_received << message; });
    connect(&m_socket, qOverload<const QList<QSslError> &>(&QWebSocket::sslErrors), this,
            [this](const QList<QSslError> &) { m_socket.ignoreSslErrors(); });
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) { m_error = m_socket.errorString(); });
}

WsClient::~WsClient()
{
    m_socket.abort();
}

bool WsClient::open(const QUrl &url, const QStringList &subprotocols, int timeoutMs)
{
    QNetworkRequest request(url);
    if (!subprotocols.isEmpty())
        request.setRawHeader("Sec-WebSocket-Protocol", subprotocols.join(QStringLiteral(", ")).toUtf8());
    m_error.clear();
    QEventLoop loop;
    connect(&m_socket, &QWebSocket::connected, &loop, &QEventLoop::quit);
    connect(&m_socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), &loop,
            &QEventLoop::quit);
    QTimer::singleShot(scaledTimeout(timeoutMs), &loop, &QEventLoop::quit);
    m_socket.open(request);
    loop.exec();
    disconnect(&m_socket, nullptr, &loop, nullptr);
    if (!isConnected() && m_error.isEmpty())
        m_error = QStringLiteral("no handshake within %1 ms").arg(scaledTimeout(timeoutMs));
    return isConnected();
}

bool WsClient::isConnected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

void WsClient::sendText(const QByteArray &utf8)
{
    m_socket.sendTextMessage(QString::fromUtf8(utf8));
    m_socket.flush();
}

void WsClient::sendBinary(const QByteArray &bytes)
{
    m_socket.sendBinaryMessage(bytes);
    m_socket.flush();
}

void WsClient::sendFragmented(const QByteArray &utf8, int pieces)
{
    const quint64 previous = m_socket.outgoingFrameSize();
    m_socket.setOutgoingFrameSize(quint64((utf8.size() + pieces - 1) / pieces));
    sendText(utf8);
    m_socket.setOutgoingFrameSize(previous);
}

std::optional<QByteArray> WsClient::nextMessage(int timeoutMs)
{
    if (m_received.isEmpty()) {
        QEventLoop loop;
        connect(&m_socket, &QWebSocket::textMessageReceived, &loop, &QEventLoop::quit);
        connect(&m_socket, &QWebSocket::binaryMessageReceived, &loop, &QEventLoop::quit);
        connect(&m_socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
        QTimer::singleShot(scaledTimeout(timeoutMs), &loop, &QEventLoop::quit);
        if (isConnected())
            loop.exec();
        disconnect(&m_socket, nullptr, &loop, nullptr);
    }
    if (m_received.isEmpty())
        return std::nullopt;
    ++m_taken;
    return m_received.takeFirst();
}

bool WsClient::expectSilence(int ms)
{
    if (!m_received.isEmpty())
        return false;
    QEventLoop loop;
    connect(&m_socket, &QWebSocket::textMessageReceived, &loop, &QEventLoop::quit);
    connect(&m_socket, &QWebSocket::binaryMessageReceived, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    disconnect(&m_socket, nullptr, &loop, nullptr);
    return m_received.isEmpty();
}

std::optional<QByteArray> WsClient::request(const QByteArray &utf8, int timeoutMs)
{
    sendText(utf8);
    return nextMessage(timeoutMs);
}

bool WsClient::waitDisconnected(int timeoutMs)
{
    return waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                     scaledTimeout(timeoutMs));
}

void WsClient::close()
{
    m_socket.close();
}

QUrl wsUrl(quint16 port, const QString &host)
{
    return QUrl(QStringLiteral("ws://%1:%2/").arg(host).arg(port));
}

QUrl wssUrl(quint16 port)
{
    return QUrl(QStringLiteral("wss://127.0.0.1:%1/").arg(port));
}

} // namespace testsupport
