#include "protocol/envelope.h"
#include "protocol/play.h"
#include "protocoltestsupport.h"
#include "players/workingfolders.h"

#include "network/httptestserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTime>
#include <QUrl>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace protocoltest;
using testsupport::HttpTestServer;
using Arguments = std::vector<std::string>;

namespace {

const std::string kUnreachable = "http://127.0.0.1:1/x";

// A subtitle server whose one route answers with body.
std::unique_ptr<HttpTestServer> subtitleServer(const QByteArray &body)
{
    auto server = std::make_unique<HttpTestServer>();
    server->setRoute("/subtitle.srt", {200, body});
    return server;
}

std::string subtitleUrl(const HttpTestServer &server)
{
    return server.url("/subtitle.srt").toStdString();
}

class Play : public ::testing::Test {
protected:
    void SetUp() override
    {
        setPlayers(true, true);
        emptyFolder(playlistFolder());
        emptyFolder(subtitleFolder());
    }

    // Replaces "$SERVER" and "$UNREACHABLE" in a request.
    static std::string request(std::string text, const std::string &server = {})
    {
        for (const auto &[name, value] : {std::pair<std::string, std::string>{"$SERVER", server},
                                          std::pair<std::string, std::string>{"$UNREACHABLE", kUnreachable}}) {
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, name.size(), value);
        }
        return text;
    }

    // The one playlist left in the folder (fails the test when there is not exactly one).
    static QString onlyPlaylist()
    {
        const QStringList names = fileNames(playlistFolder());
        EXPECT_EQ(names.size(), 1) << names.join(' ').toStdString();
        return names.isEmpty() ? QString() : names.first();
    }
};

TEST_F(Play, EveryOutcomeRepliesAndCleansUpAsTabled)
{
    struct Row {
        const char *request;
        const char *reply;
        int stops;
        int launches;
        int playlistsLeft;
        bool installed = true;
        bool launchResult = true;
        bool folderBlocked = false;
    };
    const Row rows[] = {
        // Not one of the three players: no file, nothing stopped.
        {R"({"action":"Play","application":"VLC","params":{"files":[{"url":"a"}]},"id":1})",
         R"({"Text":"Unsupport","return":-5})", 0, 0, 0},
        {R"({"action":"Play","params":{"files":[{"url":"a"}]},"id":1})", R"({"Text":"Unsupport","return":-5})", 0, 0, 0},
        // Not installed.
        {R"({"action":"Play","application":"elmedia","params":{"files":[{"url":"a"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-1})", 0, 0, 0},
        {R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a","sub-file":"$UNREACHABLE"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-1})", 0, 0, 0, false},
        {R"({"action":"Play","application":"potplayer","params":{"files":[{"url":"a"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-1})", 0, 0, 0, false},
        // The playlist cannot be created.
        {R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a","sub-file":"$UNREACHABLE"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-3})", 1, 0, 0, true, true, true},
        // No "files".
        {R"({"action":"Play","application":"vlc","params":{"arguments":[]},"id":1})",
         R"({"action":"Play","id":1,"return":-4})", 1, 0, 0},
        {R"({"action":"Play","application":"vlc","params":null,"id":1})", R"({"action":"Play","id":1,"return":-4})", 1, 0, 0},
        {R"({"action":"Play","application":"potplayer","params":[{"files":[{"url":"a"}]}],"id":1})",
         R"({"action":"Play","id":1,"return":-4})", 1, 0, 0},
        // No url.
        {R"({"action":"Play","application":"vlc","params":{"files":[]},"id":1})", R"({"action":"Play","id":1,"return":-2})",
         1, 0, 0},
        {R"({"action":"Play","application":"vlc","params":{"files":{"url":"a"}},"id":1})",
         R"({"action":"Play","id":1,"return":-2})", 1, 0, 0},
        {R"({"action":"Play","application":"potplayer","params":{"files":[1,"a",null,["url"],{"URL":"a"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-2})", 1, 0, 0},
        {R"({"action":"Play","application":"vlc","params":{"files":[{"sub-file":"$UNREACHABLE"}]},"id":1})",
         R"({"action":"Play","download_subfile_result":false,"id":1,"return":-2})", 1, 0, 0},
        {R"({"action":"Play","application":"potplayer","params":{"files":[{"sub-file":"$UNREACHABLE"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-2})", 1, 0, 0},
        // The player does not start: the playlist stays.
        {R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a"}]},"id":1})",
         R"({"action":"Play","id":1,"return":-6})", 1, 1, 1, true, false},
        {R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a","sub-file":"$UNREACHABLE"}]},"id":1})",
         R"({"action":"Play","download_subfile_result":false,"id":1,"return":-6})", 1, 1, 1, true, false},
        // It starts.
        {R"({"action":"Play","application":"potplayer","params":{"files":[{"url":"a"}]},"id":1})",
         R"({"action":"Play","id":1,"return":0})", 1, 1, 1},
        {R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a","sub-file":"$UNREACHABLE"}]}})",
         R"({"action":"Play","download_subfile_result":false,"return":0})", 1, 1, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.request);
        setPlayers(true, true, row.installed);
        const QString folder = playlistFolder();
        QDir(folder).removeRecursively();
        if (row.folderBlocked) {
            QFile blocker(folder);
            ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
            blocker.write("not a folder");
        }

        Recorder recorder;
        recorder.launchResult = row.launchResult;
        EXPECT_EQ(handleRequest(request(row.request), recorder.context()), row.reply);
        EXPECT_EQ(recorder.stops, row.stops);
        EXPECT_EQ(recorder.launches.size(), static_cast<size_t>(row.launches));
        if (row.folderBlocked) {
            // Nothing of the request's own to remove, and nothing else is touched.
            EXPECT_EQ(readFile(folder), QByteArray("not a folder"));
            QFile::remove(folder);
        } else {
            // The folder is made for every request, even one that is not supported.
            EXPECT_TRUE(QFileInfo(folder).isDir());
            EXPECT_EQ(fileNames(folder).size(), row.playlistsLeft) << fileNames(folder).join(' ').toStdString();
        }
        EXPECT_TRUE(fileNames(subtitleFolder()).isEmpty());
    }
}

TEST_F(Play, VlcWindowOptionsFollowTheirRules)
{
    struct Row {
        const char *arguments; // the value of "arguments", or nullptr for none
        Arguments expected;    // after the playlist argument
    };
    const Row rows[] = {
        {nullptr, {"--video-on-top"}},
        {"[]", {"--video-on-top"}},
        {R"([{"fullscreen":true}])", {"--video-on-top", "--fullscreen"}},
        {R"([{"video-on-top":false}])", {}},
        {R"([{"video-on-top":false},{"fullscreen":true}])", {"--fullscreen"}},
        // Non-bool values: video-on-top reads true, fullscreen false.
        {R"([{"video-on-top":"no"}])", {"--video-on-top"}},
        {R"([{"video-on-top":0}])", {"--video-on-top"}},
        {R"([{"video-on-top":false},{"video-on-top":null}])", {"--video-on-top"}},
        {R"([{"fullscreen":"yes"}])", {"--video-on-top"}},
        {R"([{"fullscreen":1}])", {"--video-on-top"}},
        // An element naming video-on-top is read for it alone.
        {R"([{"video-on-top":false,"fullscreen":true}])", {}},
        {R"([{"fullscreen":true,"video-on-top":true}])", {"--video-on-top"}},
        // Later elements override earlier ones.
        {R"([{"fullscreen":true},{"fullscreen":false}])", {"--video-on-top"}},
        {R"([{"video-on-top":false},{"video-on-top":true},{"fullscreen":true}])", {"--video-on-top", "--fullscreen"}},
        // Elements that are not objects, and "arguments" that is not an array, leave the defaults.
        {R"(["fullscreen","video-on-top"])", {"--video-on-top"}},
        {R"([null,7,["fullscreen"],{"fullscreen":true}])", {"--video-on-top", "--fullscreen"}},
        {R"({"fullscreen":true,"video-on-top":false})", {"--video-on-top"}},
        {R"([{"Fullscreen":true,"videoontop":false}])", {"--video-on-top"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments ? row.arguments : "none");
        emptyFolder(playlistFolder());
        std::string text = R"({"action":"Play","application":"vlc","id":1,"params":{"files":[{"url":"a"}])";
        if (row.arguments)
            text += std::string(R"(,"arguments":)") + row.arguments;
        text += "}}";

        Recorder recorder;
        ASSERT_EQ(handleRequest(text, recorder.context()), R"({"action":"Play","id":1,"return":0})");
        ASSERT_EQ(recorder.launches.size(), 1u);
        const Recorder::Launch &launch = recorder.launches.front();
        EXPECT_EQ(launch.program, vlcExecutable().toStdString());
        Arguments expected{("file://" + playlistFolder() + "/" + onlyPlaylist()).toStdString()};
        expected.insert(expected.end(), row.expected.begin(), row.expected.end());
        EXPECT_EQ(launch.arguments, expected);
    }
}

TEST_F(Play, PlaylistHoldsOneLinePerUrlExactly)
{
    using namespace std::string_literals;
    struct Row {
        std::string files;
        QByteArray content;                 // VLC's
        std::optional<QByteArray> titled = {};   // PotPlayer's, when it differs: the titles alone
        std::optional<QByteArray> urlsOnly = {}; // mpv's, when it differs
        Arguments mpvFields = {};           // mpv's arguments after the playlist and "--ontop"
    };
    const Row rows[] = {
        {R"([{"url":"http://media/1.mp4"},{"url":"D:\\films\\2 b.mkv"}])", "http://media/1.mp4\nD:\\films\\2 b.mkv\n"},
        {R"([{"url":"x"},7,"y",null,{"title":"z"},{"url":"w","subfile":""}])", "x\nw\n"},
        {u8R"([{"url":"https://media/Grüße ☃.mp4"}])", u8"https://media/Grüße ☃.mp4\n"},
        // Non-string urls give empty lines, and the player still starts.
        {R"([{"url":5}])", "\n"},
        {R"([{"url":null},{"url":"b"}])", "\nb\n"},
        // Line breaks inside a url cannot split it.
        {R"([{"url":"a\r\nb"},{"url":"c\rd\ne"}])", "a%0D%0Ab\nc%0Dd%0Ae\n"},
        // A "#" that would begin the line is never a directive to the player; elsewhere it stays.
        {R"([{"url":"#EXTVLCOPT:run-time=1"},{"url":"a#b"},{"url":" \t#x"},{"url":"\ufeff#y"},{"url":"##"}])",
         "%23EXTVLCOPT:run-time=1\na#b\n \t%23x\n\xEF\xBB\xBF%23y\n%23#\n"},
        // The file ends at the first NUL.
        {R"([{"url":"a\u0000b"},{"url":"c"}])", "a"},
        {R"([{"url":"ab"},{"url":"\u0000c"}])", "ab\n"},
        // The optional fields, before their url.
        {u8R"j([{"url":"http://m/1.mp4","title":"Grüße, #1","start":90,"referrer":"https://site.example/w?v=1","user-agent":"Mozilla/5.0 (X11)"}])j",
         u8"#EXTM3U\n#EXTINF:-1,Grüße, #1\n#EXTVLCOPT:start-time=90\n#EXTVLCOPT:http-referrer=https://site.example/w?v=1\n"
         "#EXTVLCOPT:http-user-agent=Mozilla/5.0 (X11)\nhttp://m/1.mp4\n",
         u8"#EXTM3U\n#EXTINF:-1,Grüße, #1\nhttp://m/1.mp4\n", "http://m/1.mp4\n",
         {u8"--force-media-title=Grüße, #1", "--start=90", "--referrer=https://site.example/w?v=1",
          "--user-agent=Mozilla/5.0 (X11)"}},
        // Only entries with a url; mpv's command line takes only what every entry gives alike.
        {R"([{"title":"none","start":5},{"url":"a","start":12.5,"referrer":"http://h/"},{"url":"b","start":0,"referrer":"http://h/"}])",
         "#EXTM3U\n#EXTVLCOPT:start-time=12.5\n#EXTVLCOPT:http-referrer=http://h/\na\n"
         "#EXTVLCOPT:start-time=0\n#EXTVLCOPT:http-referrer=http://h/\nb\n",
         "a\nb\n", "a\nb\n", {"--referrer=http://h/"}},
        // A value that does not validate is left out, and its entry stays.
        {R"([{"url":"a","title":"","start":-1,"referrer":"ftp://h/x","user-agent":"\u00e9"},)"
         R"({"url":"b","title":7,"start":"90","referrer":"https://h/a b","user-agent":"a\tb"},)"
         R"({"url":"c","title":null,"start":1e9,"referrer":"site.example/x","user-agent":"x\u007f"}])",
         "a\nb\nc\n"},
        // No field ever becomes a line of its own.
        {R"([{"url":"a","title":"t\r#EXTVLCOPT:run-time=1","referrer":"https://h/\n#EXTVLCOPT:x","user-agent":"u\r\n#y"},)"
         R"({"url":"#EXTINF:-1,u","title":"\u2028#x"},{"url":"c","title":"\u0085#z\u0000"}])",
         "a\n%23EXTINF:-1,u\nc\n"},
    };
    setMpv(true);
    for (const char *application : {"vlc", "potplayer", "mpv"}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(application + (" " + row.files));
            emptyFolder(playlistFolder());
            Recorder recorder;
            EXPECT_EQ(handleRequest(R"({"action":"Play","id":1,"application":")"s + application + R"(","params":{"files":)"
                                        + row.files + "}}",
                                    recorder.context()),
                      R"({"action":"Play","id":1,"return":0})");
            const QString name = onlyPlaylist();
            const std::string player = application;
            const char *pattern = player == "vlc" ? "^\\d{9}\\.list$" : "^\\d{9}\\.m3u$";
            EXPECT_TRUE(QRegularExpression(pattern).match(name).hasMatch()) << name.toStdString();
            const QByteArray titled = row.titled.value_or(row.content);
            const QByteArray expected = player == "vlc" ? row.content
                                      : player == "potplayer" ? titled : row.urlsOnly.value_or(titled);
            EXPECT_EQ(readFile(playlistFolder() + "/" + name), expected);
            if (player == "mpv" && recorder.launches.size() == 1) {
                Arguments arguments{(playlistFolder() + "/" + name).toStdString(), "--ontop"};
                arguments.insert(arguments.end(), row.mpvFields.begin(), row.mpvFields.end());
                EXPECT_EQ(recorder.launches[0].program, mpvExecutable().toStdString());
                EXPECT_EQ(recorder.launches[0].arguments, arguments);
            }
        }
    }
    setMpv(false);
}

TEST_F(Play, PotPlayerGetsOnlyThePlaylistPath)
{
    const auto server = subtitleServer("1\n00:00:01,000 --> 00:00:02,000\nhi\n");
    Recorder recorder;
    EXPECT_EQ(handleRequest(request(R"({"action":"Play","application":"potplayer","id":"p","params":{)"
                                    R"("arguments":[{"fullscreen":true},{"video-on-top":true}],)"
                                    R"("files":[{"url":"a","sub-file":"$SERVER"}]}})",
                                    subtitleUrl(*server)),
                            recorder.context()),
              R"({"action":"Play","id":"p","return":0})");
    ASSERT_EQ(recorder.launches.size(), 1u);
    EXPECT_EQ(recorder.launches[0].program, potplayerExecutable().toStdString());
    EXPECT_EQ(recorder.launches[0].arguments, Arguments{(playlistFolder() + "/" + onlyPlaylist()).toStdString()});
    EXPECT_EQ(server->connectionCount(), 0);
    EXPECT_TRUE(fileNames(subtitleFolder()).isEmpty());
}

TEST_F(Play, VlcFetchesTheFirstSubtitleUnderThePlaylistsName)
{
    const QByteArray subtitle = "1\n00:00:01,000 --> 00:00:02,000\nhello\n";
    {
        const auto server = subtitleServer(subtitle);
        Recorder recorder;
        EXPECT_EQ(handleRequest(request(R"({"action":"Play","application":"vlc","id":1,"params":{)"
                                        R"("arguments":[{"fullscreen":true}],)"
                                        R"("files":[{"url":"u1","sub-file":"$SERVER"},{"url":"u2","sub-file":"$UNREACHABLE"}]}})",
                                        subtitleUrl(*server)),
                                recorder.context()),
                  R"({"action":"Play","download_subfile_result":true,"id":1,"return":0})");
        const QString playlist = onlyPlaylist();
        const QString name = playlist.chopped(int(sizeof ".list") - 1);
        ASSERT_EQ(recorder.launches.size(), 1u);
        EXPECT_EQ(recorder.launches[0].arguments,
                  (Arguments{("file://" + playlistFolder() + "/" + playlist).toStdString(), "--video-on-top", "--fullscreen",
                             ("--sub-file=" + subtitleFolder() + "/" + name + ".srt").toStdString()}));
        EXPECT_EQ(readFile(playlistFolder() + "/" + playlist), QByteArray("u1\nu2\n"));
        EXPECT_EQ(fileNames(subtitleFolder()), QStringList{name + ".srt"});
        EXPECT_EQ(readFile(subtitleFolder() + "/" + name + ".srt"), subtitle);
    }

    // A failed or skipped download: the player starts without a subtitle, and the reply says so.
    const char *const rows[] = {
        R"([{"url":"a","sub-file":"$UNREACHABLE"},{"url":"b","sub-file":"$SERVER"}])",
        // An empty first "sub-file" means no download, whatever follows.
        R"([{"url":"a","sub-file":""},{"url":"b","sub-file":"$SERVER"}])",
        R"([{"url":"a"},{"sub-file":5},{"sub-file":"$SERVER"}])",
    };
    for (const char *files : rows) {
        SCOPED_TRACE(files);
        emptyFolder(playlistFolder());
        emptyFolder(subtitleFolder());
        const auto server = subtitleServer("unused");
        Recorder recorder;
        EXPECT_EQ(handleRequest(request(std::string(R"({"action":"Play","application":"vlc","id":1,"params":{"files":)")
                                            + files + "}}",
                                        subtitleUrl(*server)),
                                recorder.context()),
                  R"({"action":"Play","download_subfile_result":false,"id":1,"return":0})");
        ASSERT_EQ(recorder.launches.size(), 1u);
        EXPECT_EQ(recorder.launches[0].arguments,
                  (Arguments{("file://" + playlistFolder() + "/" + onlyPlaylist()).toStdString(), "--video-on-top"}));
        EXPECT_EQ(server->connectionCount(), 0);
        EXPECT_TRUE(fileNames(subtitleFolder()).isEmpty());
    }
}

// Each agent keeps the files of its latest Play that kept any: a newer one removes them, a failed
// one leaves them, and another agent's files are never touched.
TEST_F(Play, EachAgentKeepsOnlyItsLatestFiles)
{
    const auto server = subtitleServer("1\n00:00:01,000 --> 00:00:02,000\nhi\n");
    const std::string withSubtitle = request(R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a","sub-file":"$SERVER"}]}})",
                                             subtitleUrl(*server));
    const std::string plain = R"({"action":"Play","application":"potplayer","params":{"files":[{"url":"b"}]}})";
    const std::string failing = R"({"action":"Play","application":"vlc","params":{"files":[]}})";
    Recorder first;
    Recorder second;
    struct Step {
        Recorder *agent;
        const std::string *request;
        int playlists; // in the folder afterwards
        int subtitles;
    };
    const Step steps[] = {
        {&first, &withSubtitle, 1, 1}, {&second, &plain, 2, 1},   {&first, &plain, 2, 0},
        {&first, &failing, 2, 0},      {&first, &withSubtitle, 2, 1}, {&second, &withSubtitle, 2, 2},
    };
    QTime time(10, 0, 0, 0);
    for (const Step &step : steps) {
        SCOPED_TRACE(&step - steps);
        QJsonObject parsed = QJsonDocument::fromJson(QByteArray::fromStdString(*step.request)).object();
        const QString application = parsed.take("application").toString();
        handlePlayAt(parsed, application, step.agent->context(), time = time.addMSecs(1));
        EXPECT_EQ(fileNames(playlistFolder()).size(), step.playlists) << fileNames(playlistFolder()).join(' ').toStdString();
        EXPECT_EQ(fileNames(subtitleFolder()).size(), step.subtitles) << fileNames(subtitleFolder()).join(' ').toStdString();
    }
    // What is left is what each agent's last player was given.
    for (Recorder *agent : {&first, &second}) {
        const std::string playlist = QUrl(QString::fromStdString(agent->launches.back().arguments.front())).toLocalFile().toStdString();
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(playlist))) << playlist;
    }
}

TEST_F(Play, PlaylistIsNamedByTheTimeOfDay)
{
    const QTime before = QTime::currentTime();
    Recorder recorder;
    ASSERT_EQ(handleRequest(R"({"action":"Play","application":"vlc","params":{"files":[{"url":"a"}]}})", recorder.context()),
              R"({"action":"Play","return":0})");
    const QTime after = QTime::currentTime();
    const QString name = onlyPlaylist();
    ASSERT_TRUE(QRegularExpression("^\\d{9}\\.list$").match(name).hasMatch()) << name.toStdString();
    const QTime named = QTime::fromString(name.left(9), "hhmmsszzz");
    ASSERT_TRUE(named.isValid());
    if (before <= after) { // not across midnight
        EXPECT_LE(before, named);
        EXPECT_LE(named, after);
    }

    EXPECT_EQ(playlistTimeName(QTime(9, 5, 3, 42)), "090503042");
    EXPECT_EQ(playlistTimeName(QTime(0, 0, 0, 0)), "000000000");
    EXPECT_EQ(playlistTimeName(QTime(23, 59, 59, 999)), "235959999");
}

TEST_F(Play, TakenNamesGetTheFirstFreeSuffix)
{
    struct Row {
        QStringList playlists; // existing files in the playlist folder
        QStringList subtitles; // existing files in the subtitle folder
        bool checkSubtitles;
        QString expected;
    };
    const Row rows[] = {
        {{}, {}, true, "090503042"},
        {{"090503042.list"}, {}, true, "090503042-1"},
        {{"090503042.list", "090503042-1.list", "090503042-3.list"}, {}, true, "090503042-2"},
        {{"090503042.m3u", "090503042-1"}, {}, true, "090503042"},
        {{"090503042.list"}, {"090503042-1.srt"}, true, "090503042-2"},
        {{}, {"090503042.srt"}, false, "090503042"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.playlists.join(' ').toStdString() + " / " + row.subtitles.join(' ').toStdString());
        emptyFolder(playlistFolder());
        emptyFolder(subtitleFolder());
        for (const QString &name : row.playlists) {
            QFile file(playlistFolder() + "/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("old\n");
        }
        for (const QString &name : row.subtitles) {
            QFile file(subtitleFolder() + "/" + name);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        QFile file;
        QString name;
        ASSERT_TRUE(createPlaylistFile(file, "090503042", ".list", row.checkSubtitles, &name));
        EXPECT_EQ(name, row.expected);
        EXPECT_TRUE(file.isOpen());
        EXPECT_TRUE(QFileInfo::exists(playlistFolder() + "/" + row.expected + ".list"));
        file.close();
        for (const QString &old : row.playlists)
            EXPECT_EQ(readFile(playlistFolder() + "/" + old), QByteArray("old\n"));
    }

    // A dangling link holds its name too; a file where the folder should be is no name clash and
    // fails at once.
    emptyFolder(playlistFolder());
    ASSERT_TRUE(QFile::link(rootPath() + "/nowhere", playlistFolder() + "/090503042.list"));
    QFile file;
    QString name;
    EXPECT_TRUE(createPlaylistFile(file, "090503042", ".list", false, &name));
    EXPECT_EQ(name, "090503042-1");
    file.close();
    EXPECT_FALSE(QFileInfo::exists(rootPath() + "/nowhere"));
    ASSERT_TRUE(QDir(playlistFolder()).removeRecursively());
    ASSERT_TRUE(testsupport::writeFile(playlistFolder(), "not a folder"));
    EXPECT_FALSE(createPlaylistFile(file, "090503042", ".list", false, &name));
    ASSERT_TRUE(QFile::remove(playlistFolder()));
}

TEST_F(Play, ATakenNameLeavesTheOldFileAlone)
{
    {
        QFile old(playlistFolder() + "/090503042.list");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("a much longer old line\n");
    }
    QJsonObject request = QJsonDocument::fromJson(R"({"id":1,"params":{"files":[{"url":"new"}]}})").object();
    Recorder recorder;
    const QJsonObject reply = handlePlayAt(request, "vlc", recorder.context(), QTime(9, 5, 3, 42));
    EXPECT_EQ(QJsonDocument(reply).toJson(QJsonDocument::Compact), R"({"action":"Play","id":1,"return":0})");
    EXPECT_EQ(fileNames(playlistFolder()), (QStringList{"090503042-1.list", "090503042.list"}));
    EXPECT_EQ(readFile(playlistFolder() + "/090503042-1.list"), QByteArray("new\n"));
    EXPECT_EQ(readFile(playlistFolder() + "/090503042.list"), QByteArray("a much longer old line\n"));
    ASSERT_EQ(recorder.launches.size(), 1u);
    EXPECT_EQ(recorder.launches[0].arguments.front(), ("file://" + playlistFolder() + "/090503042-1.list").toStdString());
}

TEST_F(Play, TwoAgentsInTheSameMillisecondWriteTwoCompleteFiles)
{
    const QTime time(9, 5, 3, 42);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        emptyFolder(playlistFolder());

        std::mutex mutex;
        std::condition_variable ready;
        int waiting = 0;
        std::string replies[2];
        std::vector<Recorder> recorders(2);
        auto agent = [&](int index) {
            QByteArray url = "agent-" + QByteArray::number(index) + "-" + QByteArray(200 * (index + 1), 'x');
            QJsonObject request =
                QJsonDocument::fromJson(R"({"params":{"files":[{"url":")" + url + R"("},{"url":"end"}]}})").object();
            const PlayContext context = recorders[index].context();
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++waiting;
                ready.notify_all();
                ready.wait(lock, [&] { return waiting == 2; });
            }
            replies[index] = jsonToString(handlePlayAt(request, "potplayer", context, time));
        };
        std::thread first(agent, 0);
        std::thread second(agent, 1);
        first.join();
        second.join();

        EXPECT_EQ(replies[0], R"({"action":"Play","return":0})");
        EXPECT_EQ(replies[1], R"({"action":"Play","return":0})");
        ASSERT_EQ(fileNames(playlistFolder()), (QStringList{"090503042-1.m3u", "090503042.m3u"}));
        std::set<QByteArray> contents{readFile(playlistFolder() + "/090503042.m3u"),
                                      readFile(playlistFolder() + "/090503042-1.m3u")};
        EXPECT_EQ(contents, (std::set<QByteArray>{"agent-0-" + QByteArray(200, 'x') + "\nend\n",
                                                  "agent-1-" + QByteArray(400, 'x') + "\nend\n"}));
        // Each agent starts the player with the file it wrote.
        for (int index = 0; index < 2; ++index) {
            ASSERT_EQ(recorders[index].launches.size(), 1u);
            EXPECT_EQ(readFile(QString::fromStdString(recorders[index].launches[0].arguments.front())).left(7),
                      "agent-" + QByteArray::number(index));
        }
    }
}

} // namespace
