#include "httptestserver.h"

namespace e2e {

HttpTestServer::HttpTestServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    for (const QPointer<QTcpSocket> &socket : qAsConst(m_sockets)) {
        if (socket)
            socket->abort();
    }
}

bool HttpTestServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray HttpTestServer::url(const QByteArray &path) const
{
    return "http://127.0.0.1:" + QByteArray::number(port()) + path;
}

void HttpTestServer::setRoute(const QByteArray &path, const Response &response)
{
    m_routes.insert(path, response);
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_sockets << socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void HttpTestServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &pending = m_pending[socket];
    pending += socket->readAll();
    const int end = pending.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
    m_pending.remove(socket);
    const QByteArray path = requestLine.value(1);
    m_requests << path;

    Response response;
    response.status = 404;
    response.body = "<html><body>not found</body></html>";
    response = m_routes.value(path, response);
    if (response.stall)
        return;

    QByteArray reason = response.status == 200   ? "OK"
                        : response.status == 302 ? "Found"
                        : response.status == 404 ? "Not Found"
                                                 : "Status";
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Connection: close\r\n";
    for (const auto &header : qAsConst(response.headers))
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    socket->write(head + response.body);
    socket->disconnectFromHost();
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace e2e
