#include "network/httptestserver.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace testsupport {

namespace {

// Hands out sockets that have begun the server side of TLS when given a certificate.
class TcpOrTlsServer : public QTcpServer
{
public:
    TcpOrTlsServer(const QString &certificateFile, const QString &keyFile)
        : m_certificateFile(certificateFile), m_keyFile(keyFile)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (m_certificateFile.isEmpty()) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setLocalCertificate(m_certificateFile);
        socket->setPrivateKey(m_keyFile);
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    const QString m_certificateFile;
    const QString m_keyFile;
};

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

HttpTestServer::HttpTestServer(const QString &certificateFile, const QString &keyFile)
    : m_certificateFile(certificateFile), m_keyFile(keyFile)
{
    m_thread.reset(QThread::create([this] { serve(); }));
    m_thread->start();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_started; });
}

HttpTestServer::~HttpTestServer()
{
    m_stop = true;
    m_thread->wait();
}

bool HttpTestServer::isListening() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_port != 0;
}

QByteArray HttpTestServer::url(const QByteArray &path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return (m_certificateFile.isEmpty() ? "http" : "https") + QByteArray("://127.0.0.1:")
           + QByteArray::number(m_port) + path;
}

void HttpTestServer::setRoute(const QByteArray &path, const Response &response)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_routes.insert(path, response);
}

QList<QByteArray> HttpTestServer::requests() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int HttpTestServer::hits(const QByteArray &path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.count(path);
}

int HttpTestServer::connectionCount() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

bool HttpTestServer::waitForRequest(const QByteArray &path, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.contains(path); });
}

// The answer to a request for path, recorded first; empty for a stalled route.
QByteArray HttpTestServer::answer(const QByteArray &path, int *trickleMs, int *trickleBytes)
{
    Response response;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_requests << path;
        response = m_routes.value(path, Response{404, "<html><body>not found</body></html>", {}, false, true});
    }
    m_changed.notify_all();
    *trickleMs = response.trickleMs;
    *trickleBytes = qMax(1, response.trickleBytes);
    if (response.stall)
        return {};
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status)
                      + "\r\nConnection: close\r\n";
    if (response.withLength)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &header : qAsConst(response.headers))
        head += header.first + ": " + header.second + "\r\n";
    return head + "\r\n" + response.body;
}

void HttpTestServer::serve()
{
    TcpOrTlsServer server(m_certificateFile, m_keyFile);
    server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            socket->setParent(&server);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                ++m_connections;
            }
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                QByteArray request = socket->property("request").toByteArray() + socket->readAll();
                socket->setProperty("request", request);
                if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
                    return;
                socket->setProperty("answered", true);
                int trickleMs = 0;
                int trickleBytes = 1;
                const QByteArray reply =
                        answer(request.left(request.indexOf("\r\n")).split(' ').value(1), &trickleMs, &trickleBytes);
                if (reply.isEmpty())
                    return;
                if (trickleMs <= 0) {
                    socket->write(reply);
                    socket->disconnectFromHost();
                    return;
                }
                // The head at once, then the body a little at a time.
                const int bodyStart = reply.indexOf("\r\n\r\n") + 4;
                socket->write(reply.left(bodyStart));
                auto *timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, reply, trickleBytes, at = bodyStart]() mutable {
                    if (at < reply.size()) {
                        socket->write(reply.mid(at, trickleBytes));
                        at += trickleBytes;
                    }
                    if (at >= reply.size()) {
                        timer->stop();
                        socket->disconnectFromHost();
                    }
                });
                timer->start(trickleMs);
            });
        }
    });
    QEventLoop loop;
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, &loop, [this, &loop] {
        if (m_stop)
            loop.quit();
    });
    stopPoll.start(10);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_port = server.serverPort();
        m_started = true;
    }
    m_changed.notify_all();
    loop.exec();
}

} // namespace testsupport
