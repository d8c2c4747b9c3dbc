#include "launcher/launchcallback.h"

#include "launcher/sessionlauncher.h"

#include <QDebug>
#include <QProcess>
#include <QString>
#include <QStringList>

std::atomic<bool> m_bDebugMode{false};

namespace {

// Read by agent threads at every entry; set by the service's start and by tests, before
// anything is launched.
std::atomic<ServiceLogWriter> g_pfnServiceLog{nullptr};

void serviceLog(const QString &entry)
{
    if (const ServiceLogWriter writer = g_pfnServiceLog.load())
        writer(entry);
}

void forwardLauncherLog(const std::string &entry)
{
    serviceLog(QString::fromStdString(entry));
}

} // namespace

ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer)
{
    return g_pfnServiceLog.exchange(writer);
}

bool runClientCommand(std::string program, std::vector<std::string> arguments,
                      ProcessIdentity *launched)
{
    const bool debugMode = m_bDebugMode.load();

    QString argumentLine;
    for (const std::string &argument : arguments)
        argumentLine += QString::fromStdString(argument) + QLatin1Char(' ');

    const QString programText = QString::fromStdString(program);
    qDebug().noquote() << "m_bDebugMode:" << debugMode << "CMD_CLIENT:" << programText << " "
                       << argumentLine;
    serviceLog(QString("CMD_CLIENT:%2").arg(programText));

    if (debugMode) {
        QStringList argumentList;
        argumentList.reserve(static_cast<int>(arguments.size()));
        for (const std::string &argument : arguments)
            argumentList << QString::fromStdString(argument);
        return QProcess::startDetached(programText, argumentList);
    }

    return launchGUIApplication(program, arguments, launched, &forwardLauncherLog);
}
