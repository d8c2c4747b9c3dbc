#include "launcher/launchcallback.h"

#include "base/servicelog.h"
#include "launcher/sessionlauncher.h"

#include <QDebug>
#include <QProcess>
#include <QString>
#include <QStringList>

std::atomic<bool> m_bDebugMode{false};

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
    writeServiceLog("CMD_CLIENT:" + program);

    if (debugMode) {
        QStringList argumentList;
        argumentList.reserve(static_cast<int>(arguments.size()));
        for (const std::string &argument : arguments)
            argumentList << QString::fromStdString(argument);
        return QProcess::startDetached(programText, argumentList);
    }

    return launchGUIApplication(program, arguments, launched);
}
