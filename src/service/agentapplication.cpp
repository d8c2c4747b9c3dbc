#include "service/agentapplication.h"

#include "agent/tessoragent.h"
#include "base/constants.h"
#include "launcher/launchcallback.h"

#include <QCoreApplication>
#include <QFileInfo>

QAgentThread::QAgentThread(TessorAgent *agent) : QThread(nullptr), m_agent(agent) {}

QAgentThread::~QAgentThread() = default;

void QAgentThread::setAgent(TessorAgent *agent)
{
    m_agent = agent;
}

void QAgentThread::run()
{
    if (m_agent)
        m_agent->serviceLoop();
}

TessorAgentApplication::TessorAgentApplication() : QObject(nullptr) {}

TessorAgentApplication::~TessorAgentApplication()
{
    stopAllAgents();
}

void TessorAgentApplication::initPaths()
{
    m_appDir = QFileInfo(QCoreApplication::applicationFilePath()).path();
    m_certFile = (m_appDir + QLatin1String("/server.crt")).toUtf8().toStdString();
    m_keyFile = (m_appDir + QLatin1String("/server.key")).toUtf8().toStdString();
}

bool TessorAgentApplication::createAgent(quint16 port, bool useTls)
{
    auto *thread = new QAgentThread(nullptr);
    thread->setObjectName(QStringLiteral("agent-%1").arg(port)); // names the OS thread too
    auto *agent = useTls ? new TessorAgent(port, m_certFile, m_keyFile, kKeyPassphrase)
                         : new TessorAgent(port, "", "", "");
    agent->setLaunchCallback(runClientCommand);
    agent->setNetworkSettings(m_networkSettings);
    if (!agent->createContext()) {
        delete thread;
        delete agent;
        return false;
    }
    thread->setAgent(agent);
    // Before start, so that a thread that ends at once still reaches the slot. finished() is
    // emitted on the agent thread; the slot runs on the main thread.
    connect(thread, &QThread::finished, this, [this] { postThreadFinished(); }, Qt::DirectConnection);
    m_agents[thread] = agent;
    return true;
}

void TessorAgentApplication::startStoppedThreads()
{
    for (const auto &entry : m_agents) {
        if (!entry.first->isRunning())
            entry.first->start(QThread::InheritPriority);
    }
}

void TessorAgentApplication::stopAllAgents()
{
    std::map<QAgentThread *, TessorAgent *> agents;
    agents.swap(m_agents);
    // Wake every loop first so that they wind down together rather than one after another.
    for (const auto &entry : agents)
        entry.second->terminate();
    for (const auto &entry : agents) {
        QAgentThread *thread = entry.first;
        TessorAgent *agent = entry.second;
        agent->stopServer(); // returns once the worker has left the service loop
        thread->exit(0);
        thread->wait();
        { std::lock_guard<std::mutex> lock(m_finishGate); }
        // Deleted here rather than with deleteLater: on the way out of the program the event
        // loop has already ended and would never get to them. A finished() still queued for
        // onThreadFinished only finds the map empty.
        delete agent;
        delete thread;
    }
}

// Agent thread. Named in tests/sanitizers/tsan.supp: the main thread's event list, which the
// call is appended to, is guarded by Qt's own lock.
Q_NEVER_INLINE void TessorAgentApplication::postThreadFinished()
{
    std::lock_guard<std::mutex> lock(m_finishGate);
    QMetaObject::invokeMethod(this, "onThreadFinished", Qt::QueuedConnection);
}

void TessorAgentApplication::cleanupAtEndOfProgram()
{
    stopAllAgents();
}

void TessorAgentApplication::onThreadFinished()
{
    { std::lock_guard<std::mutex> lock(m_finishGate); }
    stopAllAgents();
}
