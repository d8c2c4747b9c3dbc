#pragma once

#include "play.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// Shared by the protocol tests. main() points MIRVALE_PUBLIC_DIR and MIRVALE_REGISTRY into a
// temporary folder before any test runs.
namespace protocoltest {

QString rootPath();

// Writes a registry file that registers the named players, creates (or removes) their fake
// executables and refreshes the player table.
void setPlayers(bool vlc, bool potplayer, bool executablesPresent = true);

// The paths that setPlayers registers.
QString vlcExecutable();
QString potplayerExecutable();

// Empties a folder of files, creating it when missing.
void emptyFolder(const QString &path);

// Names of the files in a folder, sorted.
QStringList fileNames(const QString &path);

QByteArray readFile(const QString &path);

// A PlayContext that records what Play asks of the agent.
struct Recorder {
    struct Launch {
        std::string program;
        std::vector<std::string> arguments;
    };
    std::vector<Launch> launches;
    int stops = 0;
    bool launchResult = true;

    PlayContext context();
};

} // namespace protocoltest
