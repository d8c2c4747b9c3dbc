#include "service/tessorservice.h"

#include "base/constants.h"
#include "launcher/launchcallback.h"
#include "service/certificate.h"

#include <QDebug>
#include <QGuiApplication>
#include <QIcon>

#include <cstring>
#include <ctime>

namespace {

// The launcher's service log entries, handed to it at start.
void writeLauncherEntry(const QString &entry)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(entry, QtServiceBase::Success, 0, 0, QByteArray());
}

#ifdef Q_OS_WIN
// No package script makes a Windows machine's certificate: the first start does, before the TLS
// agent needs it.
void provideCertificate(const std::string &certFile, const std::string &keyFile)
{
    const CertificateResult result = ensureCertificate(certFile, keyFile, kKeyPassphrase);
    QtServiceBase *service = QtServiceBase::instance();
    switch (result.outcome) {
    case CertificateResult::Outcome::Present:
        break;
    case CertificateResult::Outcome::Created:
        qDebug() << "ensureCertificate created:" << certFile.c_str() << keyFile.c_str();
        if (service)
            service->logMessage(QStringLiteral("Created this machine's TLS certificate %1")
                                        .arg(QString::fromStdString(certFile)),
                                QtServiceBase::Information);
        break;
    case CertificateResult::Outcome::Failed:
        qDebug() << "ensureCertificate failed:" << result.error.c_str();
        if (service)
            service->logMessage(QStringLiteral("Cannot create the TLS certificate %1: %2")
                                        .arg(QString::fromStdString(certFile),
                                             QString::fromStdString(result.error)),
                                QtServiceBase::Error);
        break;
    }
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
    setServiceLogWriter(&writeLauncherEntry);
    // The C library sets up its time zone state on the first local time conversion; done here,
    // before the agents convert times in parallel.
    tzset();
    m_agentApp.initPaths();
#ifdef Q_OS_WIN
    provideCertificate(m_agentApp.certFile(), m_agentApp.keyFile());
#endif
    m_agentApp.createAgent(kPlainPort, false);
    m_agentApp.createAgent(kTlsPort, true);
    m_agentApp.startStoppedThreads();
}

void TessorService::stop()
{
    m_agentApp.stopAllAgents();
}
