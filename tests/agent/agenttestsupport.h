#pragma once

#include "agent/tessoragent.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkRequest>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTemporaryDir>
#include <QWebSocket>

#include <functional>
#include <memory>
#include <string>

namespace agenttest {

// The folder of this test process: public folder, registry file, certificates.
QString scratchFolder();

// Records of the debug stream, from every thread.
void installRecorder();
QStringList records();
int countRecords(const QString &prefix);
void clearRecords();

// Runs the event loop until `done` holds or the time is up; true when it held.
bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000);

// A port in this test's range (18142 and up, spread by process id so that concurrent test
// processes do not meet) that is free on all interfaces now.
quint16 freePort();

// An agent serving on its own worker thread, stopped and released in order at the end.
class RunningAgent
{
public:
    explicit RunningAgent(quint16 port, const std::string &cert = {}, const std::string &key = {},
                          const std::string &passphrase = {});
    ~RunningAgent();

    bool start(LaunchCallback launch = nullptr); // createContext, then the worker thread
    TessorAgent &agent() { return *m_agent; }
    QThread *thread() { return m_thread.get(); }
    quint16 port() const { return m_port; }

private:
    quint16 m_port;
    std::unique_ptr<TessorAgent> m_agent;
    std::unique_ptr<QThread> m_thread;
};

// A WebSocket client that keeps what it receives.
class Client : public QObject
{
    Q_OBJECT
public:
    Client();
    bool open(const QString &url, const QByteArray &subprotocol = {}, int timeoutMs = 20000);
    void send(const QString &text) { m_socket.sendTextMessage(text); m_socket.flush(); }
    // The next message not yet taken; empty when none came in time.
    QString next(int timeoutMs = 20000);
    int received() const { return m_messages.size() + m_taken; }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    bool waitDisconnected(int timeoutMs = 20000);
    QWebSocket &socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QStringList m_messages;
    int m_taken = 0;
    bool m_bFailed = false;
};

// ws://host:port/
QString plainUrl(quint16 port, const QString &host = "127.0.0.1");

// A compact Getinfo request; without "id" when id is undefined.
QString getinfo(const QJsonValue &id);

QJsonObject parse(const QString &text);

// A Getinfo round trip; by its end the agent has read everything the client sent before it.
void expectGetinfoRoundTrip(Client &client, const QString &id);

// A self-signed certificate and a key encrypted with `passphrase`, made with openssl.
bool makeCertificate(const QString &folder, const QString &passphrase, QString *certFile, QString *keyFile);

} // namespace agenttest
