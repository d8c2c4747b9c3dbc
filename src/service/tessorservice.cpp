#include "service/tessorservice.h"

#include "base/constants.h"
#include "launcher/launchcallback.h"
#include "players/playertable.h"
#include "service/certificate.h"
#include "service/certificatetrust.h"
#include "settings/settings.h"

#include <QDebug>
#include <QGuiApplication>
#include <QIcon>

#include <algorithm>
#include <cstring>
#include <ctime>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

namespace {

// The service log entries of the layers below (the launcher, the player table's settings),
// handed to them at start.
void writeServiceEntry(const QString &entry)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(entry, QtServiceBase::Success, 0, 0, QByteArray());
}

// Room for every connection both agents admit, with their listening sockets and the rest of the
// process: past the descriptor limit, accept() fails while the listening socket stays ready, and
// a loop that waits on its sockets would spin. The usual soft limit (1024) is too low for two
// agents' 512; the hard limit is the administrator's and stays.
void raiseDescriptorLimit()
{
#ifndef Q_OS_WIN
    const rlim_t wanted = 2 * TessorAgent::kMaxConnections + 256;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
#endif
}

#ifdef Q_OS_WIN
void logTrust(const TrustResult &result, const QString &what)
{
    QtServiceBase *service = QtServiceBase::instance();
    for (const std::string &warning : result.warnings) {
        qDebug() << "trustAuthority warning:" << warning.c_str();
        if (service)
            service->logMessage(QString::fromStdString(warning), QtServiceBase::Warning);
    }
    if (!result.ok) {
        qDebug() << "trustAuthority failed:" << result.error.c_str();
        if (service)
            service->logMessage(what.arg(QString::fromStdString(result.error)), QtServiceBase::Error);
    }
}

// No package script makes a Windows machine's certificate: the first start does, before the TLS
// agent needs it, and renews it when it nears its end. The CA is trusted at every start, so that
// a start that failed half-way is made good by the next; a CA that renewal replaced leaves the
// Root store.
void provideCertificate(const std::string &folder)
{
    const CertificateFiles files = certificateFilesIn(folder);
    const CertificateResult result = ensureCertificate(files, kKeyPassphrase);
    QtServiceBase *service = QtServiceBase::instance();
    switch (result.outcome) {
    case CertificateResult::Outcome::Present:
        break;
    case CertificateResult::Outcome::Created:
        qDebug() << "ensureCertificate created:" << files.certificate.c_str() << result.reason.c_str();
        if (service)
            service->logMessage(QStringLiteral("Created this machine's TLS certificate %1 (%2)")
                                        .arg(QString::fromStdString(files.certificate),
                                             QString::fromStdString(result.reason)),
                                QtServiceBase::Information);
        if (!result.previousAuthority.empty())
            logTrust(forgetAuthority(result.previousAuthority),
                     QStringLiteral("Cannot remove the replaced CA from the Root store: %1"));
        break;
    case CertificateResult::Outcome::Failed:
        qDebug() << "ensureCertificate failed:" << result.error.c_str();
        if (service)
            service->logMessage(QStringLiteral("Cannot create the TLS certificate %1: %2")
                                        .arg(QString::fromStdString(files.certificate),
                                             QString::fromStdString(result.error)),
                                QtServiceBase::Error);
        return;
    }
    logTrust(trustAuthority(files.authority), QStringLiteral("Cannot trust this machine's CA: %1"));
}
#endif

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
    setServiceLogWriter(&writeServiceEntry);
    setPlayerTableLog(&writeServiceEntry);
    // The whole store once, here on the main thread before any agent exists, so that a bad key
    // is reported at start; the player table reads its group again at every refresh.
    const Settings settings = readSettings(&writeServiceEntry);
    // The C library sets up its time zone state on the first local time conversion; done here,
    // before the agents convert times in parallel.
    tzset();
    raiseDescriptorLimit();
    AgentOptions options;
    options.allowedOrigins = settings.allowedOrigins;
    options.loopbackOnly = settings.listenLoopbackOnly;
    options.responsive = settings.responsive;
    m_agentApp.setAgentOptions(options);
    m_agentApp.initPaths();
#ifdef Q_OS_WIN
    provideCertificate(m_agentApp.appDir().toUtf8().toStdString());
#endif
    m_agentApp.createAgent(kPlainPort, false);
    m_agentApp.createAgent(kTlsPort, true);
    m_agentApp.startStoppedThreads();
}

void TessorService::stop()
{
    m_agentApp.stopAllAgents();
}
