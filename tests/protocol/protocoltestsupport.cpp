#include "protocoltestsupport.h"

#include "agent/messageassembler.h"
#include "players/playertable.h"
#include "protocol/envelope.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace protocoltest {
namespace {

std::unique_ptr<QTemporaryDir> g_root;

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

QString registryPath()
{
    return rootPath() + QStringLiteral("/players.reg");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

} // namespace

QString rootPath()
{
    return g_root->path();
}

QString vlcExecutable()
{
    // The table appends "\vlc.exe" to the registered folder, as stored.
    return rootPath() + QStringLiteral("/bin/VLC\\vlc.exe");
}

QString potplayerExecutable()
{
    return rootPath() + QStringLiteral("/bin/PotPlayerMini64");
}

void setPlayers(bool vlc, bool potplayer, bool executablesPresent)
{
    QByteArray reg = "Windows Registry Editor Version 5.00\r\n\r\n";
    if (vlc)
        reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n\"InstallDir\"=\""
               + (rootPath() + QStringLiteral("/bin/VLC")).toUtf8() + "\"\r\n\r\n";
    if (potplayer)
        reg += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\r\n\"ProgramPath\"=\""
               + potplayerExecutable().toUtf8() + "\"\r\n\r\n";
    writeFile(registryPath(), reg);

    QDir().mkpath(rootPath() + QStringLiteral("/bin"));
    for (const QString &path : {vlcExecutable(), potplayerExecutable()}) {
        const bool wanted = executablesPresent && (path == vlcExecutable() ? vlc : potplayer);
        if (wanted)
            writeFile(path, "#!/bin/sh\n");
        else
            QFile::remove(path);
    }
    refreshPlayerPaths();
}

void emptyFolder(const QString &path)
{
    QDir dir(path);
    dir.mkpath(path);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System))
        dir.remove(name);
}

QStringList fileNames(const QString &path)
{
    return QDir(path).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
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
    return PlayContext{m_slot, nullptr};
}

} // namespace protocoltest

int main(int argc, char **argv)
{
    protocoltest::g_root = std::make_unique<QTemporaryDir>();
    if (!protocoltest::g_root->isValid())
        return 2;
    const QByteArray root = protocoltest::g_root->path().toUtf8();
    setenv("MIRVALE_PUBLIC_DIR", (root + "/public").constData(), 1);
    setenv("MIRVALE_REGISTRY", (root + "/players.reg").constData(), 1);

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    protocoltest::g_root.reset();
    return result;
}
