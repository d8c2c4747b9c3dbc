#include "settings/settings.h"

#include "base/servicelog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The service log as the store writes to it, from several reading threads at once.
std::mutex g_linesMutex;
QStringList g_lines;

void recordLine(const std::string &line)
{
    const std::lock_guard<std::mutex> lock(g_linesMutex);
    g_lines << QString::fromStdString(line);
}

enum class Source { File, Missing, Folder };

struct Row {
    const char *what;
    const char *text; // the INI file's content
    QString vlc;
    QString potplayer;
    QStringList lines; // what is logged, with " store:<file>" added to each
    SettingsScope scope = SettingsScope::All;
    Source source = Source::File;
};

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { g_lines.clear(); } // the lines are the process's, not the case's
    void TearDown() override { unsetenv("MIRVALE_CONFIG"); }

    // A file of its own for every store: problems are logged once per store and line.
    QString useStore(const char *text, Source source = Source::File)
    {
        const QString path = m_dir.filePath(QStringLiteral("mirvale-%1.conf").arg(++m_count));
        setenv("MIRVALE_CONFIG", QFile::encodeName(path).constData(), 1);
        if (source == Source::Folder) {
            EXPECT_TRUE(QDir().mkpath(path));
        }
        if (source == Source::File) {
            QFile file(path);
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(text);
        }
        return path;
    }

    Settings read(SettingsScope scope = SettingsScope::All)
    {
        setServiceLogWriter(&recordLine);
        return readSettings(scope);
    }

    // The lines logged since m_lines was cleared are these, each naming the store.
    void expectLogged(const QStringList &lines, const QString &path, const char *what)
    {
        QStringList expected;
        for (const QString &line : lines)
            expected << line + QStringLiteral(" store:") + path;
        expected.sort();
        m_lines.sort();
        EXPECT_EQ(m_lines, expected) << what;
    }

    QTemporaryDir m_dir;
    int m_count = 0;
    QStringList &m_lines = g_lines; // read once the reading threads have ended
};

} // namespace

TEST_F(SettingsStore, ReadsKeysAndSkipsWhatIsWrong)
{
    const QString unset;
    const std::vector<Row> rows = {
        {"no store: defaults, nothing created", "", unset, unset, {}, SettingsScope::All, Source::Missing},
        {"empty store", "", unset, unset, {}},
        {"both players", "[players]\nvlc=/usr/bin/vlc\npotplayer=/opt/pot player/run.sh\n", "/usr/bin/vlc",
         "/opt/pot player/run.sh", {}},
        {"an empty value is unset", "[players]\nvlc=\npotplayer=/p\n", unset, "/p", {}},
        {"a quoted comma stays in the path", "[players]\nvlc=\"/opt/a,b/vlc\"\n", "/opt/a,b/vlc", unset, {}},
        {"a relative path is a bad value", "[players]\nvlc=vlc\npotplayer=/p\n", unset, "/p",
         {"readSettings bad value:players/vlc"}},
        {"an unquoted comma reads as a list", "[players]\npotplayer=/a,/b\n", unset, unset,
         {"readSettings bad value:players/potplayer"}},
        {"unknown keys, each named; known keys still read",
         "top=1\n[players]\nelmedia=/usr/bin/elmedia\nVLC=/x\nvlc=/usr/bin/vlc\n[network]\nbind=any\n", "/usr/bin/vlc",
         unset,
         {"readSettings unknown key:network/bind", "readSettings unknown key:players/VLC",
          "readSettings unknown key:players/elmedia", "readSettings unknown key:top"}},
        {"the players group alone ignores the other groups",
         "top=1\n[players]\nelmedia=/usr/bin/elmedia\nvlc=/usr/bin/vlc\n[network]\nlisten=any\n", "/usr/bin/vlc", unset,
         {"readSettings unknown key:players/elmedia"}, SettingsScope::Players},
        {"an unreadable store gives the defaults", "", unset, unset, {"readSettings unreadable"},
         SettingsScope::All, Source::Folder},
    };
    for (const Row &row : rows) {
        m_lines.clear();
        const QString path = useStore(row.text, row.source);
        const Settings settings = read(row.scope);
        EXPECT_EQ(settings.vlcProgram, row.vlc) << row.what;
        EXPECT_EQ(settings.potplayerProgram, row.potplayer) << row.what;
        expectLogged(row.lines, path, row.what);
        if (row.source == Source::Missing) {
            EXPECT_FALSE(QFile::exists(path)) << row.what;
        }
    }
}

TEST_F(SettingsStore, EachProblemIsLoggedOnceHoweverOftenRead)
{
    const QString path = useStore("[players]\nvlc=relative\nelmedia=/usr/bin/elmedia\n");
    const QStringList expected = {"readSettings bad value:players/vlc store:" + path,
                                  "readSettings unknown key:players/elmedia store:" + path};
    // The player table re-reads the players group on both agent threads at once.
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([this] {
            for (int n = 0; n < 25; ++n)
                EXPECT_EQ(read(SettingsScope::Players).vlcProgram, QString());
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    read();
    m_lines.sort();
    EXPECT_EQ(m_lines, expected);
}

TEST_F(SettingsStore, LocationFollowsTheEnvironment)
{
    unsetenv("MIRVALE_CONFIG");
    EXPECT_EQ(settingsLocation(), "/etc/mirvale/mirvale.conf");
    const QString path = useStore("[players]\nvlc=/opt/vlc\n");
    EXPECT_EQ(settingsLocation(), path);
    EXPECT_EQ(read().vlcProgram, "/opt/vlc");
    setenv("MIRVALE_CONFIG", "", 1);
    EXPECT_EQ(settingsLocation(), "/etc/mirvale/mirvale.conf");
}

// The network and service keys: what narrows or speeds up the service, and the values refused.
TEST_F(SettingsStore, ReadsNetworkAndServiceKeys)
{
    struct NetworkRow {
        const char *what;
        const char *text;
        QStringList origins;
        bool loopback;
        bool responsive;
        QStringList lines;
    };
    const std::vector<NetworkRow> rows = {
        {"defaults: any page, any interface, the one-second pass", "", {}, false, false, {}},
        {"all set", "[network]\nallowed_origins=https://a.example\nlisten=loopback\n[service]\nresponsive=true\n",
         {"https://a.example"}, true, true, {}},
        {"a list, written as a browser sends it", "[network]\nallowed_origins=HTTPS://A.Example:443/, http://localhost:8080\n",
         {"https://a.example", "http://localhost:8080"}, false, false, {}},
        {"explicit defaults", "[network]\nallowed_origins=\nlisten=any\n[service]\nresponsive=false\n", {}, false, false, {}},
        {"an origin with a path is a bad value; the other keys still read",
         "[network]\nallowed_origins=https://a.example/page\nlisten=LOOPBACK\n[service]\nresponsive=yes\n", {}, false,
         false,
         {"readSettings bad value:network/allowed_origins", "readSettings bad value:network/listen",
          "readSettings bad value:service/responsive"}},
        {"one bad origin spoils the list", "[network]\nallowed_origins=https://a.example, null\n", {}, false, false,
         {"readSettings bad value:network/allowed_origins"}},
    };
    for (const NetworkRow &row : rows) {
        m_lines.clear();
        const QString path = useStore(row.text);
        const Settings settings = read();
        EXPECT_EQ(settings.network.allowedOrigins, row.origins) << row.what;
        EXPECT_EQ(settings.network.listenLoopbackOnly, row.loopback) << row.what;
        EXPECT_EQ(settings.network.responsive, row.responsive) << row.what;
        expectLogged(row.lines, path, row.what);
    }
}
