#include "agenttestsupport.h"

#include "fixtures/debugcapture.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

namespace agenttest {

namespace {

DebugCapture &capture()
{
    static DebugCapture s_capture;
    return s_capture;
}

} // namespace

QStringList records()
{
    return capture().records();
}

int countRecords(const QString &prefix)
{
    return capture().count(prefix);
}

void clearRecords()
{
    capture().clear();
}

RunningAgent::RunningAgent(quint16 port, const std::string &cert, const std::string &key,
                           const std::string &passphrase)
    : m_port(port)
    , m_agent(new TessorAgent(port, cert, key, passphrase))
{
}

RunningAgent::~RunningAgent()
{
    // The order the service keeps: stop, let the thread finish, then delete both.
    m_agent->stopServer();
    if (m_thread)
        m_thread->wait();
    m_thread.reset();
    m_agent.reset();
}

bool RunningAgent::start(LaunchCallback launch)
{
    m_agent->setLaunchCallback(launch);
    if (!m_agent->createContext())
        return false;
    TessorAgent *agent = m_agent.get();
    m_thread.reset(QThread::create([agent] { agent->serviceLoop(); }));
    m_thread->start();
    return true;
}

QString getinfo(const QJsonValue &id)
{
    QJsonObject request{{"action", "Getinfo"}};
    if (!id.isUndefined())
        request.insert("id", id);
    return QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));
}

QJsonObject parse(const std::optional<QByteArray> &text)
{
    return text ? QJsonDocument::fromJson(*text).object() : QJsonObject();
}

void expectGetinfoRoundTrip(WsClient &client, const QString &id)
{
    client.sendText(getinfo(id));
    const QJsonObject reply = parse(client.nextMessage());
    EXPECT_EQ(reply.value("action").toString(), "Getinfo");
    EXPECT_EQ(reply.value("id").toString(), id);
}

} // namespace agenttest
