#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

// A small HTTP/1.1 server on 127.0.0.1 and an OS-chosen port, on a thread of its own so that a
// blocking download can run on the test's thread. Answers by path:
//   /ok           200, kOkBody              /empty       200, no body
//   /missing      404, an HTML page         /redirect    302 to /ok
//   /exact        200, exactly 16 MiB       /big         200, 16 MiB + 1 (with a length)
//   /big-unsized  200, 16 MiB + 1 up to the close, without a length
//   /short        200, fewer bytes than its length, then closed
//   /stall        nothing at all; the connection stays open
// Given a certificate and key (PEM files), it speaks HTTPS instead.
class LocalHttpServer : public QThread {
public:
    static const QByteArray kOkBody;

    explicit LocalHttpServer(const QString &certificateFile = {}, const QString &keyFile = {});
    ~LocalHttpServer() override;

    QByteArray url(const char *path) const;
    // Waits until a request for `path` has arrived; false after the time-out.
    bool waitForRequest(const QByteArray &path, std::chrono::milliseconds timeout);
    // Connections accepted so far, in the order they arrived.
    int connectionCount();

protected:
    void run() override;

private:
    // Written by the server thread, read by the test thread; guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const QString m_certificateFile;
    const QString m_keyFile;
    quint16 m_port = 0;
    bool m_listening = false;
    std::vector<QByteArray> m_requests;
    int m_connections = 0;
    // Set by the test thread, polled by the server thread, which then ends its own loop: a
    // wake-up posted from another thread is a race ThreadSanitizer cannot see through in glib.
    std::atomic<bool> m_stop{false};
};
