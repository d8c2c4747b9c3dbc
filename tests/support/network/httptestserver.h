#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class QThread;

namespace testsupport {

// A small HTTP/1.1 server on 127.0.0.1 and an OS-chosen port, on a thread of its own, so that a
// test blocked in a synchronous call (a subtitle download, a wait for the service) is still
// served. Each path is answered with its route; unknown paths get 404. Given a certificate and
// key (PEM files), it speaks HTTPS instead.
class HttpTestServer
{
public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers = {};
        bool stall = false;      // read the request, never answer, keep the connection
        bool withLength = true;  // false: no Content-Length, the body ends with the connection
        int trickleMs = 0;       // > 0: the body goes trickleBytes at a time, once every trickleMs
        int trickleBytes = 1;
    };

    explicit HttpTestServer(const QString &certificateFile = {}, const QString &keyFile = {});
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer &) = delete;
    HttpTestServer &operator=(const HttpTestServer &) = delete;

    bool isListening() const;
    QByteArray url(const QByteArray &path) const;
    void setRoute(const QByteArray &path, const Response &response);

    // Paths requested so far, in order.
    QList<QByteArray> requests() const;
    int hits(const QByteArray &path) const;
    // Connections accepted so far.
    int connectionCount() const;
    // Blocks the calling thread until a request for `path` has arrived; false on time-out.
    bool waitForRequest(const QByteArray &path, std::chrono::milliseconds timeout);

private:
    void serve();
    QByteArray answer(const QByteArray &path, int *trickleMs, int *trickleBytes);

    const QString m_certificateFile;
    const QString m_keyFile;
    std::unique_ptr<QThread> m_thread;
    // Written by the server thread and by setRoute on the test thread; guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    quint16 m_port = 0;
    bool m_started = false;
    QMap<QByteArray, Response> m_routes;
    QList<QByteArray> m_requests;
    int m_connections = 0;
    // Set by the test thread, polled by the server thread, which then ends its own loop: a
    // wake-up posted from another thread is a race ThreadSanitizer cannot see through in glib.
    std::atomic<bool> m_stop{false};
};

} // namespace testsupport
