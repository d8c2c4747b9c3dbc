#include "protocoltestsupport.h"

#include "agent/messageassembler.h"
#include "players/playertable.h"
#include "protocol/envelope.h"

#include <QFile>

#include <optional>

namespace protocoltest {
namespace {

// The recorder whose slot is in use on this thread.
thread_local Recorder *t_recorder = nullptr;

bool recordLaunch(std::string program, std::vector<std::string> arguments, ProcessIdentity *launched)
{
    Recorder &recorder = *t_recorder;
    recorder.launches.push_back({std::move(program), std::move(arguments)});
    if (recorder.launchResult)
        *launched = {4242 + static_cast<long long>(recorder.launches.size()), 1};
    return recorder.launchResult;
}

void recordStop(long long, long long)
{
    ++t_recorder->stops;
}

} // namespace

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

QString mpvExecutable()
{
    return rootPath() + QStringLiteral("/players/mpv");
}

void setMpv(bool installed)
{
    const QString store = rootPath() + QStringLiteral("/mirvale.conf");
    testsupport::writeFile(store, "[players]\nmpv=" + mpvExecutable().toUtf8() + "\n");
    qputenv("MIRVALE_CONFIG", QFile::encodeName(store));
    if (installed)
        testsupport::writeFile(mpvExecutable(), "#!/bin/sh\n");
    else
        QFile::remove(mpvExecutable());
    refreshPlayerPaths();
}

void setPlayers(bool vlc, bool potplayer, bool executablesPresent)
{
    using testsupport::Installed;
    players().writeRegistry(vlc ? (potplayer ? Installed::Both : Installed::Vlc)
                                : (potplayer ? Installed::PotPlayer : Installed::None));
    players().setProgramsPresent(executablesPresent && vlc, executablesPresent && potplayer);
    refreshPlayerPaths();
}

std::string handleRequest(const std::string &text, const PlayContext &context)
{
    MessageAssembler assembler;
    const std::optional<MessageAssembler::Outcome> outcome = assembler.feed(text.data(), text.size(), true);
    const bool parsed = outcome && outcome->kind == MessageAssembler::Outcome::Kind::Request;
    return ::handleRequest(parsed ? outcome->request : QJsonObject(), context);
}

Recorder::Recorder() : m_slot(&recordStop)
{
    m_slot.setLaunchCallback(&recordLaunch);
    t_recorder = this;
    m_slot.launch("earlier player", {});
    launches.clear();
}

PlayContext Recorder::context()
{
    t_recorder = this;
    return PlayContext{m_slot, m_files, nullptr};
}

} // namespace protocoltest
