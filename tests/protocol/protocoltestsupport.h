#pragma once

#include "players/playerslot.h"
#include "players/workingfolders.h"
#include "protocol/play.h"

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

// Configures mpv (through a settings store of the scratch tree), creates or removes its program
// file and refreshes the player table.
void setMpv(bool installed);

// The paths that setPlayers registers, and mpv's.
QString vlcExecutable();
QString potplayerExecutable();
QString mpvExecutable();

// The reply to one whole message, as an agent gives it: the agent's assembler parses the text
// once and the envelope answers the object (an empty one when the text held none).
std::string handleRequest(const std::string &text, const PlayContext &context);

// A player slot that records what Play asks of it instead of starting and ending players. It
// starts with an earlier player of its own, so that every stop shows. Used on one thread at a
// time: the one that last called context().
struct Recorder {
    struct Launch {
        std::string program;
        std::vector<std::string> arguments;
    };
    std::vector<Launch> launches;
    int stops = 0;
    bool launchResult = true;

    Recorder();
    PlayContext context();

private:
    PlayerSlot m_slot;
    PlayFiles m_files;
};

} // namespace protocoltest
