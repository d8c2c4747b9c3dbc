#include "protocoltestsupport.h"

#include "playertable.h"

namespace protocoltest {

QString rootPath()
{
    return testsupport::scratchFolder();
}

testsupport::PlayerFixture &players()
{
    static testsupport::PlayerFixture s_players(rootPath());
    return s_players;
}

QString vlcExecutable()
{
    return players().vlcProgram();
}

QString potplayerExecutable()
{
    return players().potplayerProgram();
}

void setPlayers(bool vlc, bool potplayer, bool executablesPresent)
{
    using testsupport::Installed;
    players().writeRegistry(vlc ? (potplayer ? Installed::Both : Installed::Vlc)
                                : (potplayer ? Installed::PotPlayer : Installed::None));
    players().setProgramsPresent(executablesPresent && vlc, executablesPresent && potplayer);
    refreshPlayerPaths();
}

PlayContext Recorder::context()
{
    PlayContext context;
    context.launch = [this](std::string program, std::vector<std::string> arguments) {
        launches.push_back({std::move(program), std::move(arguments)});
        return launchResult;
    };
    context.stopLastPlayer = [this] { ++stops; };
    return context;
}

} // namespace protocoltest
