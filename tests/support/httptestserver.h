#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

namespace e2e {

// A tiny HTTP/1.1 server on 127.0.0.1 for the subtitle downloads, served by the test
// thread's event loop (so only while the test waits in an event loop).
class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool stall = false; // accept, read the request, never answer
    };

    HttpTestServer();
    ~HttpTestServer() override;

    bool listen();
    quint16 port() const { return m_server.serverPort(); }
    QByteArray url(const QByteArray &path) const;

    void setRoute(const QByteArray &path, const Response &response);
    // Paths requested so far, in order; unknown paths are answered 404.
    QList<QByteArray> requests() const { return m_requests; }
    int hits(const QByteArray &path) const { return m_requests.count(path); }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer m_server;
    QHash<QByteArray, Response> m_routes;
    QList<QByteArray> m_requests;
    QList<QPointer<QTcpSocket>> m_sockets;
    QHash<QTcpSocket *, QByteArray> m_pending;
};

// A loopback port on which nothing listens (bound once, then released).
quint16 unusedPort();

} // namespace e2e
