#include "service/tessorservice.h"

#include "base/constants.h"
#include "launcher/launchcallback.h"
#include "settings/settings.h"

#include <QDebug>
#include <QGuiApplication>
#include <QIcon>

#include <cstring>
#include <ctime>

namespace {

// Service log entries of the launcher and of the settings store.
void writeLauncherEntry(const QString &entry)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(entry, QtServiceBase::Success, 0, 0, QByteArray());
}

} // namespace

TessorService::TessorService(int argc, char **argv)
    : QtService<QApplication>(argc, argv, QStringLiteral("Mirvale")), m_debugMode(false)
{
    setServiceDescription(QStringLiteral("Tessor Launch Helper."));
    setServiceFlags(QtServiceBase::CanBeSuspended);

    // argv[0] is the program; the switch only counts with something after it, and every
    // match is recorded.
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (!argument)
            continue;
        if ((std::strcmp(argument, "-e") == 0 || std::strcmp(argument, "-execute") == 0)
            && i + 1 < argc) {
            m_debugMode = true;
            qDebug() << "setDebugMode:" << m_debugMode;
        }
    }
}

TessorService::~TessorService() = default;

void TessorService::start()
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/mirvale.ico")));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    m_bDebugMode = m_debugMode; // before any agent thread exists
    setServiceLogWriter(&writeLauncherEntry);
    // The C library sets up its time zone state on the first local time conversion; done here,
    // before the agents convert times in parallel.
    tzset();
    const Settings settings = readSettings(&writeLauncherEntry);
    AgentOptions options;
    options.allowedOrigins = settings.allowedOrigins;
    options.loopbackOnly = settings.listenLoopbackOnly;
    options.responsive = settings.responsive;
    m_agentApp.setAgentOptions(options);
    m_agentApp.initPaths();
    m_agentApp.createAgent(kPlainPort, false);
    m_agentApp.createAgent(kTlsPort, true);
    m_agentApp.startStoppedThreads();
}

void TessorService::stop()
{
    m_agentApp.stopAllAgents();
}
