#include "localhttpserver.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

constexpr int kLimit = 16 * 1024 * 1024;

QByteArray response(const QByteArray &status, const QByteArray &body, const QByteArray &extraHeaders = {},
                    bool withLength = true)
{
    QByteArray text = "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + extraHeaders;
    if (withLength)
        text += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return text + "\r\n" + body;
}

// Hands out sockets that have begun the server side of TLS when given a certificate.
class TcpOrTlsServer : public QTcpServer {
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

const char kOkText[] = "1\r\n00:00:01,000 --> 00:00:02,000\r\nH\xC3\xA9llo\0\xFF\n";

} // namespace

const QByteArray LocalHttpServer::kOkBody(kOkText, sizeof(kOkText) - 1);

LocalHttpServer::LocalHttpServer(const QString &certificateFile, const QString &keyFile)
    : m_certificateFile(certificateFile), m_keyFile(keyFile)
{
    start();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_listening; });
}

LocalHttpServer::~LocalHttpServer()
{
    m_stop = true;
    wait();
}

QByteArray LocalHttpServer::url(const char *path) const
{
    return (m_certificateFile.isEmpty() ? "http" : "https") + QByteArray("://127.0.0.1:") + QByteArray::number(m_port) + path;
}

bool LocalHttpServer::waitForRequest(const QByteArray &path, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return std::find(m_requests.begin(), m_requests.end(), path) != m_requests.end();
    });
}

int LocalHttpServer::connectionCount()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

void LocalHttpServer::run()
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
                const QByteArray path = request.left(request.indexOf("\r\n")).split(' ').value(1);
                {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    m_requests.push_back(path);
                }
                m_changed.notify_all();

                if (path == "/stall")
                    return;
                if (path == "/ok")
                    socket->write(response("200 OK", kOkBody));
                else if (path == "/empty")
                    socket->write(response("200 OK", {}));
                else if (path == "/missing")
                    socket->write(response("404 Not Found", "<html><body>Not Found</body></html>"));
                else if (path == "/redirect")
                    socket->write(response("302 Found", "moved", "Location: /ok\r\n"));
                else if (path == "/exact")
                    socket->write(response("200 OK", QByteArray(kLimit, 's')));
                else if (path == "/big")
                    socket->write(response("200 OK", QByteArray(kLimit + 1, 's')));
                else if (path == "/big-unsized")
                    socket->write(response("200 OK", QByteArray(kLimit + 1, 's'), {}, false));
                else if (path == "/short")
                    socket->write(response("200 OK", "0123456789", "Content-Length: 100\r\n", false));
                else
                    socket->write(response("400 Bad Request", {}));
                socket->disconnectFromHost();
            });
        }
    });
    QTimer stopPoll;
    QObject::connect(&stopPoll, &QTimer::timeout, &stopPoll, [this] {
        if (m_stop)
            quit();
    });
    stopPoll.start(10);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_port = server.serverPort();
        m_listening = true;
    }
    m_changed.notify_all();
    exec();
}
