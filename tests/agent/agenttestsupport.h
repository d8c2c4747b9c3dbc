#pragma once

#include "agent/tessoragent.h"
#include "expected.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/ports.h"
#include "network/wsclient.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QThread>

#include <memory>
#include <optional>
#include <string>

namespace agenttest {

using namespace testsupport;

// Records of the debug stream, from every thread, kept from the first call on.
QStringList records();
int countRecords(const QString &prefix);
void clearRecords();

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

// A compact Getinfo request; without "id" when id is undefined.
QString getinfo(const QJsonValue &id);

// A reply as an object; empty when there was none.
QJsonObject parse(const std::optional<QByteArray> &text);

// A Getinfo round trip; by its end the agent has read everything the client sent before it.
void expectGetinfoRoundTrip(WsClient &client, const QString &id);

} // namespace agenttest
