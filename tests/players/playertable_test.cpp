#include "players/playertable.h"

#include "base/servicelog.h"

#include "fixtures/regfile.h"
#include "qtprinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using testsupport::RegFile;

namespace {

const std::string kVlc64 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n";
const std::string kVlc32 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\VideoLAN\\VLC]\r\n";
const std::string kPot64 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\r\n";
const std::string kPot32 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\DAUM\\PotPlayer]\r\n";

const char *const kVlcDefault64 = "C:/Program Files/VideoLAN/VLC/vlc.exe";
const char *const kVlcDefault86 = "C:/Program Files (x86)/VideoLAN/VLC/vlc.exe";
const char *const kPotDefault64 = "C:/Program Files/DAUM/PotPlayer/PotPlayerMini64.exe";
const char *const kPotDefault86 = "C:/Program Files (x86)/DAUM/PotPlayer/PotPlayerMini.exe";

std::string installDir(const std::string &text)
{
    return "\"InstallDir\"=\"" + text + "\"\r\n";
}

std::string programPath(const std::string &text)
{
    return "\"ProgramPath\"=\"" + text + "\"\r\n";
}

enum class Source { File, Utf16File, MissingFile, Unset };

struct Row {
    const char *what;
    std::string body; // after the header line
    std::string vlc;
    std::string potplayer;
    Source source = Source::File;
};

// A program file that counts as installed on Linux.
void makeExecutable(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n");
    file.close();
    ASSERT_TRUE(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
}

class PlayerTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = qgetenv("PATH");
        // What the Linux search would find, were it asked: the registry rules must not ask it.
        const QString bin = m_dir.filePath(QStringLiteral("bin"));
        ASSERT_TRUE(QDir().mkpath(bin));
        makeExecutable(bin + QStringLiteral("/vlc"));
        qputenv("PATH", QFile::encodeName(bin));
        writeSettings("[players]\nvlc=" + bin.toUtf8() + "/vlc\npotplayer=" + bin.toUtf8() + "/vlc\n");
    }

    void TearDown() override
    {
        unsetenv("MIRVALE_REGISTRY");
        unsetenv("MIRVALE_CONFIG");
        qputenv("PATH", m_path);
        setServiceLogWriter(nullptr);
    }

    void writeSettings(const QByteArray &text)
    {
        const QString path = m_dir.filePath(QStringLiteral("mirvale.conf"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        setenv("MIRVALE_CONFIG", QFile::encodeName(path).constData(), 1);
    }

    void useRegistry(const std::string &body, Source source = Source::File)
    {
        const QString path = m_dir.filePath(QStringLiteral("players.reg"));
        QFile::remove(path);
        if (source == Source::Unset) {
            unsetenv("MIRVALE_REGISTRY");
            return;
        }
        setenv("MIRVALE_REGISTRY", path.toUtf8().constData(), 1);
        if (source == Source::MissingFile)
            return;
        const auto encoding = source == Source::Utf16File ? RegFile::Encoding::Utf16 : RegFile::Encoding::Utf8;
        ASSERT_TRUE(RegFile().rawLine(QString::fromStdString(body)).writeTo(path, encoding));
    }

    QTemporaryDir m_dir;
    QByteArray m_path;
};

} // namespace

TEST_F(PlayerTable, DiscoveryFallsBackInOrder)
{
    const std::string tooLong(2304, 'x');
    const std::vector<Row> rows = {
        {"no keys at all", "", kVlcDefault86, kPotDefault64},
        {"64-bit keys with values; 32-bit ones ignored",
         kVlc64 + installDir("D:\\\\Apps\\\\VLC") + kVlc32 + installDir("D:\\\\x86") + kPot64
             + programPath("E:\\\\Pot\\\\PotPlayerMini64.exe") + kPot32 + programPath("E:\\\\x86.exe"),
         "D:\\Apps\\VLC\\vlc.exe", "E:\\Pot\\PotPlayerMini64.exe"},
        {"64-bit keys without values; 32-bit ones not consulted",
         kVlc64 + "\"Version\"=\"3.0\"\r\n" + kVlc32 + installDir("D:\\\\x86") + kPot64 + kPot32
             + programPath("E:\\\\x86.exe"),
         kVlcDefault64, kPotDefault64},
        {"only 32-bit keys, with values", kVlc32 + installDir("D:\\\\x86\\\\VLC") + kPot32 + programPath("E:\\\\x86\\\\PotPlayerMini.exe"),
         "D:\\x86\\VLC\\vlc.exe", "E:\\x86\\PotPlayerMini.exe"},
        {"only 32-bit keys, without values", kVlc32 + kPot32, kVlcDefault86, kPotDefault86},
        {"a trailing backslash is kept", kVlc64 + installDir("D:\\\\Apps\\\\VLC\\\\"), "D:\\Apps\\VLC\\\\vlc.exe",
         kPotDefault64},
        {"paths stay as stored", kVlc64 + installDir("/opt/fake/vlc") + kPot64 + programPath("/opt/fake/pot"),
         "/opt/fake/vlc\\vlc.exe", "/opt/fake/pot"},
        {"over-long values are absent", kVlc64 + installDir(tooLong) + kPot32 + programPath(tooLong), kVlcDefault64,
         kPotDefault86},
        {"REG_EXPAND_SZ is absent",
         kVlc64 + "\"InstallDir\"=hex(2):44,00,3a,00,00,00\r\n" + kPot32 + "\"ProgramPath\"=hex(2):45,00,00,00\r\n",
         kVlcDefault64, kPotDefault86},
        {"a regedit export in UTF-16", kVlc64 + installDir("D:\\\\Vid\xC3\xA9os"), "D:\\Vid\xC3\xA9os\\vlc.exe",
         kPotDefault64, Source::Utf16File},
        {"registry file missing", kVlc64 + installDir("unused"), kVlcDefault86, kPotDefault64, Source::MissingFile},
    };
    for (const Row &row : rows) {
        useRegistry(row.body, row.source);
        refreshPlayerPaths();
        const std::map<std::string, QString> table = playerPathSnapshot();
        ASSERT_EQ(table.size(), 2u) << row.what;
        EXPECT_EQ(table.at("vlc").toStdString(), row.vlc) << row.what;
        EXPECT_EQ(table.at("potplayer").toStdString(), row.potplayer) << row.what;
        EXPECT_EQ(getPlayerPath("vlc"), row.vlc) << row.what;
        EXPECT_EQ(getPlayerPath("potplayer"), row.potplayer) << row.what;

        // Keys are exact; a miss never inserts.
        for (const char *other : {"elmedia", "VLC", "PotPlayer", ""}) {
            EXPECT_EQ(getPlayerPath(other), "") << row.what << ": " << other;
            EXPECT_FALSE(isPlayerInstalled(other)) << row.what << ": " << other;
        }
        EXPECT_EQ(playerPathSnapshot().size(), 2u) << row.what;
    }

    // mpv has no registration: by these rules only its configured program counts, PATH never.
    makeExecutable(m_dir.filePath(QStringLiteral("bin/mpv")));
    useRegistry("");
    writeSettings("[players]\nmpv=/opt/mpv/mpv.exe\n");
    refreshPlayerPaths();
    EXPECT_EQ(playerPathSnapshot().size(), 3u);
    EXPECT_EQ(getPlayerPath("mpv"), "/opt/mpv/mpv.exe");
}

TEST_F(PlayerTable, InstalledMeansTheStoredFileExists)
{
    // On Linux the appended "\vlc.exe" is part of the file name.
    const QString vlcFolder = m_dir.filePath(QStringLiteral("vlc"));
    const QString vlcPath = vlcFolder + QStringLiteral("\\vlc.exe");
    const QString potPath = m_dir.filePath(QStringLiteral("pot player"));
    QFile(vlcPath).open(QIODevice::WriteOnly);
    useRegistry(kVlc64 + installDir(vlcFolder.toStdString()) + kPot64 + programPath(potPath.toStdString()));
    refreshPlayerPaths();

    EXPECT_EQ(getPlayerPath("vlc"), vlcPath.toStdString());
    EXPECT_TRUE(isPlayerInstalled("vlc"));
    EXPECT_FALSE(isPlayerInstalled("potplayer"));
    // Existence is checked when asked, not when stored.
    QFile(potPath).open(QIODevice::WriteOnly);
    EXPECT_TRUE(isPlayerInstalled("potplayer"));
    QFile::remove(vlcPath);
    EXPECT_FALSE(isPlayerInstalled("vlc"));
}

TEST_F(PlayerTable, LookupsNeverSeeARefreshHalfDone)
{
    useRegistry(kVlc64 + installDir("D:\\\\VLC") + kPot32 + programPath("E:\\\\pot.exe"));
    refreshPlayerPaths();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([] {
            for (int n = 0; n < 200; ++n)
                refreshPlayerPaths();
        });
        threads.emplace_back([&wrong] {
            for (int n = 0; n < 2000; ++n) {
                if (getPlayerPath("vlc") != "D:\\VLC\\vlc.exe" || getPlayerPath("potplayer") != "E:\\pot.exe"
                    || playerPathSnapshot().size() != 2)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(DesktopDiscovery, ConfiguredThenPathThenFixedLocations)
{
    const PlayerKind *vlc = findPlayerKind(QStringLiteral("vlc"));
    const PlayerKind *potplayer = findPlayerKind(QStringLiteral("potplayer"));
    const PlayerKind *mpv = findPlayerKind(QStringLiteral("mpv"));
    ASSERT_TRUE(vlc && vlc->discovery && potplayer && potplayer->discovery && mpv && mpv->discovery);
    const QString snap = QStringLiteral("/snap/bin/vlc");
    const QString flatpak = QStringLiteral("/var/lib/flatpak/exports/bin/org.videolan.VLC");
    const QString mpvSnap = QStringLiteral("/snap/bin/mpv");
    const QString mpvFlatpak = QStringLiteral("/var/lib/flatpak/exports/bin/io.mpv.Mpv");

    struct Row {
        const char *what;
        const PlayerKind *kind;
        QString configured;
        QString searchPath;
        QStringList executables;
        QString found;
    };
    const Row rows[] = {
        {"configured wins", vlc, "/opt/v/vlc", "/usr/bin", {"/opt/v/vlc", "/usr/bin/vlc", snap}, "/opt/v/vlc"},
        {"a configured path that is no executable is passed over", vlc, "/opt/v/vlc", "/usr/bin",
         {"/usr/bin/vlc"}, "/usr/bin/vlc"},
        {"first executable on PATH; empty and relative entries skipped", vlc, "",
         ":bin:/no/such:/usr/local/bin/:/usr/bin", {"bin/vlc", "/usr/local/bin/vlc", "/usr/bin/vlc"},
         "/usr/local/bin/vlc"},
        {"snap after PATH", vlc, "", "/usr/bin", {snap, flatpak}, snap},
        {"flatpak last", vlc, "", "/usr/bin", {flatpak}, flatpak},
        {"nothing", vlc, "", "/usr/bin", {}, ""},
        {"potplayer only when configured", potplayer, "", "/usr/bin",
         {"/usr/bin/potplayer", "/usr/bin/vlc", snap}, ""},
        {"potplayer configured", potplayer, "/opt/pot/run", "/usr/bin", {"/opt/pot/run"}, "/opt/pot/run"},
        {"mpv configured", mpv, "/opt/m/mpv", "/usr/bin", {"/opt/m/mpv", "/usr/bin/mpv"}, "/opt/m/mpv"},
        {"mpv on PATH", mpv, "", "/usr/bin", {"/usr/bin/vlc", "/usr/bin/mpv", mpvSnap}, "/usr/bin/mpv"},
        {"mpv's snap after PATH", mpv, "", "/usr/bin", {"/usr/bin/vlc", snap, mpvSnap, mpvFlatpak}, mpvSnap},
        {"mpv's flatpak last", mpv, "", "/usr/bin", {flatpak, mpvFlatpak}, mpvFlatpak},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const QStringList executables = row.executables;
        EXPECT_EQ(findDesktopProgram(*row.kind->discovery, row.configured, row.searchPath,
                                     [&](const QString &path) { return executables.contains(path); }),
                  row.found);
    }
}

namespace {
QStringList g_tableLog;
void recordTableLog(const std::string &line)
{
    g_tableLog << QString::fromStdString(line);
}
} // namespace

// Without a registry stand-in, a real install: the settings and PATH are read at every refresh.
TEST_F(PlayerTable, WithoutARegistryTheDesktopSearchFillsTheTable)
{
    useRegistry("", Source::Unset);
    const QString bin = m_dir.filePath(QStringLiteral("bin"));
    const QString pot = m_dir.filePath(QStringLiteral("pot wrapper"));
    makeExecutable(pot);
    writeSettings("[players]\npotplayer=" + pot.toUtf8() + "\n");
    refreshPlayerPaths();
    EXPECT_EQ(playerPathSnapshot(), (std::map<std::string, QString>{{"vlc", bin + "/vlc"},
                                                                    {"potplayer", pot}}));
    EXPECT_TRUE(isPlayerInstalled("vlc"));
    EXPECT_TRUE(isPlayerInstalled("potplayer"));
    // mpv is in the table only once it is found.
    makeExecutable(bin + "/mpv");
    refreshPlayerPaths();
    EXPECT_EQ(getPlayerPath("mpv"), (bin + "/mpv").toStdString());
    QFile::remove(bin + "/mpv");

    // A changed store is seen at the next refresh, and its problem logged once.
    g_tableLog.clear();
    setServiceLogWriter(&recordTableLog);
    writeSettings("[players]\nvlc=relative/vlc\nelmedia=/x\n");
    refreshPlayerPaths();
    refreshPlayerPaths();
    const QString store = " store:" + qEnvironmentVariable("MIRVALE_CONFIG");
    EXPECT_EQ(g_tableLog, (QStringList{"readSettings unknown key:players/elmedia" + store,
                                       "readSettings bad value:players/vlc" + store}));
    EXPECT_EQ(getPlayerPath("vlc"), (bin + "/vlc").toStdString());

    // Nothing found: the last registry default stays, a path that is not installed.
    qputenv("PATH", "");
    refreshPlayerPaths();
    EXPECT_EQ(getPlayerPath("vlc"), kVlcDefault86);
    EXPECT_EQ(getPlayerPath("potplayer"), kPotDefault64);
    EXPECT_FALSE(isPlayerInstalled("vlc"));
}
