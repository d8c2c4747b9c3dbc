#include "launchcallback.h"

#include "qtservice.h"
#include "sessionlauncher.h"

#include <QByteArray>
#include <QDebug>
#include <QProcess>
#include <QString>
#include <QStringList>

std::atomic<bool> m_bDebugMode{false};

namespace {

void writeToServiceLog(const QString &entry)
{
    if (QtServiceBase *service = QtServiceBase::instance())
        service->logMessage(entry, QtServiceBase::Success, 0, 0, QByteArray());
}

// Read by agent threads at every entry; replaced only by tests, before they launch.
std::atomic<ServiceLogWriter> g_pfnServiceLog{&writeToServiceLog};

void serviceLog(const QString &entry)
{
    g_pfnServiceLog.load()(entry);
}

void forwardLauncherLog(const std::string &entry)
{
    serviceLog(QString::fromStdString(entry));
}

} // namespace

ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer)
{
    return g_pfnServiceLog.exchange(writer ? writer : &writeToServiceLog);
}

bool runClientCommand(std::string program, std::vector<std::string> arguments,
                      qint64 *processId)
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

    return launchGUIApplication(program, arguments, processId, &forwardLauncherLog);
}
