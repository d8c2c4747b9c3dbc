#include "network/httptestserver.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>

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
    case 206:
        return "Partial Content";
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

QList<QByteArray> HttpTestServer::requestHeads(const QByteArray &path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    QList<QByteArray> heads;
    for (int i = 0; i < m_requests.size(); ++i) {
        if (m_requests.at(i) == path)
            heads << m_heads.at(i);
    }
    return heads;
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

// The answer to a request with that head, recorded first; empty for a stalled route.
QByteArray HttpTestServer::answer(const QByteArray &request, int *trickleMs, int *trickleBytes)
{
    const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
    Response response;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_requests << path;
        m_heads << request;
        response = m_routes.value(path, Response{404, "<html><body>not found</body></html>", {}, false, true});
    }
    m_changed.notify_all();
    *trickleMs = response.trickleMs;
    *trickleBytes = std::max(1, response.trickleBytes);
    if (response.stall)
        return {};
    if (response.ranges) {
        response.headers.append(qMakePair(QByteArray("Accept-Ranges"), QByteArray("bytes")));
        const QRegularExpressionMatch range =
                QRegularExpression(QStringLiteral("\r\nRange: *bytes=(\\d+)-\r\n"), QRegularExpression::CaseInsensitiveOption)
                        .match(QString::fromLatin1(request));
        const qint64 from = range.hasMatch() ? range.captured(1).toLongLong() : 0;
        if (range.hasMatch() && from < response.body.size()) {
            response.headers.append(qMakePair(QByteArray("Content-Range"),
                                              "bytes " + QByteArray::number(from) + '-'
                                                      + QByteArray::number(response.body.size() - 1) + '/'
                                                      + QByteArray::number(response.body.size())));
            response.status = 206;
            response.body = response.body.mid(static_cast<int>(from));
        }
    }
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
                        answer(request.left(request.indexOf("\r\n\r\n") + 2), &trickleMs, &trickleBytes);
                if (reply.isEmpty())
                    return;
                if (trickleMs <= 0) {
                    socket->write(reply);
                    socket->disconnectFromHost();
                    return;
                }
                // The head at once, then the body a piece at a time.
                const int bodyStart = reply.indexOf("\r\n\r\n") + 4;
                socket->write(reply.left(bodyStart));
                auto *timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket,
                                 [socket, timer, reply, trickleBytes, at = bodyStart]() mutable {
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
