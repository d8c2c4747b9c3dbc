#pragma once

#include "play.h"

#include "expected.h"
#include "fixtures/fakeplayers.h"
#include "fixtures/files.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

// Shared by the protocol tests, which run in the scratch tree the test main points
// MIRVALE_PUBLIC_DIR and MIRVALE_REGISTRY at.
namespace protocoltest {

using testsupport::emptyFolder;
using testsupport::fileNames;
using testsupport::readFile;

QString rootPath();

// The players' programs and registry file in the scratch tree.
testsupport::PlayerFixture &players();

// Writes a registry file that registers the named players, creates (or removes) their fake
// executables and refreshes the player table.
void setPlayers(bool vlc, bool potplayer, bool executablesPresent = true);

// The paths that setPlayers registers.
QString vlcExecutable();
QString potplayerExecutable();

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
