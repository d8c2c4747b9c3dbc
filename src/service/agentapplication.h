#pragma once

#include "agent/tessoragent.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <map>
#include <mutex>
#include <string>

class TessorAgent;

// Runs one agent's service loop; it has no event loop of its own.
class QAgentThread : public QThread
{
public:
    explicit QAgentThread(TessorAgent *agent = nullptr);
    ~QAgentThread() override;

    // Main thread, before start(): QThread::start() publishes it to run().
    void setAgent(TessorAgent *agent);

protected:
    void run() override;

private:
    TessorAgent *m_agent; // not owned; set before start, read by run()
};

// Owns the service's agents and the threads that run them.
class TessorAgentApplication : public QObject
{
    Q_OBJECT

public:
    TessorAgentApplication();
    ~TessorAgentApplication() override;

    void initPaths();
    // What every agent created from now on is given (the settings); before createAgent.
    void setNetworkSettings(const NetworkSettings &settings) { m_networkSettings = settings; }
    // Creates and registers one agent with its thread, which startStoppedThreads() starts: every
    // agent empties the working folders as it is made, so none may serve before all are made.
    bool createAgent(quint16 port, bool useTls);
    void startStoppedThreads();
    void stopAllAgents();

    QString appDir() const { return m_appDir; }
    const std::string &certFile() const { return m_certFile; }
    const std::string &keyFile() const { return m_keyFile; }
    const std::map<QAgentThread *, TessorAgent *> &agents() const { return m_agents; }

public slots:
    void cleanupAtEndOfProgram();
    void onThreadFinished();

private:
    void postThreadFinished();

    // Main thread only, no lock: every caller and both slots run there.
    std::map<QAgentThread *, TessorAgent *> m_agents;
    QString m_appDir;
    NetworkSettings m_networkSettings; // main thread only
    std::string m_certFile; // UTF-8
    std::string m_keyFile;  // UTF-8
    // Agent threads post their end under it; the main thread takes it before it frees what they
    // posted. Orders that hand-over for ThreadSanitizer, which cannot see Qt's own queue lock.
    std::mutex m_finishGate;
};
