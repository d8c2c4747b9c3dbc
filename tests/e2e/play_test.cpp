// Play through the real service in debug mode ("-e x": players start as detached children,
// nothing is ever ended), with fake players that record their command lines and a local
// HTTP server for subtitles. One service for the whole suite.

#include "expected.h"
#include "fixtures/files.h"
#include "network/httptestserver.h"
#include "network/ports.h"
#include "network/wsclient.h"
#include "qtprinters.h"
#include "service/serviceprocess.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTime>

#include <unistd.h>

using namespace testsupport;

namespace {

// Served bytes, NUL and non-UTF-8 bytes included, must arrive unchanged.
const char kSubtitleBytes[] = "1\r\n00:00:01,000 --> 00:00:02,000\r\nH\xc3\xa4llo\r\n\x00\xff\xfe end\r\n";
const QByteArray kSubtitle(kSubtitleBytes, sizeof kSubtitleBytes - 1);

QStringList minus(const QStringList &after, const QStringList &before)
{
    QStringList added;
    for (const QString &name : after) {
        if (!before.contains(name))
            added << name;
    }
    return added;
}

struct PlayResult {
    QByteArray reply;
    std::optional<PlayerRecord> record;
    QStringList newPlaylists; // names in the playlist folder
    QStringList newSubtitles; // names in the subtitle folder
};

class PlayE2E : public ServiceSuite
{
protected:
    static void SetUpTestSuite()
    {
        s_http = new HttpTestServer;
        s_http->setRoute("/sub.srt", {200, kSubtitle, {{"Content-Type", "application/x-subrip"}}, false});
        s_http->setRoute("/other.srt", {200, "other", {}, false});
        s_http->setRoute("/missing.srt", {404, "<html><body>404 Not Found</body></html>", {}, false});
        s_http->setRoute("/moved.srt", {302, "moved", {{"Location", "/sub.srt"}}, false});
        ServiceOptions options;
        options.arguments = QStringList{QStringLiteral("-e"), QStringLiteral("x")};
        startService(options);
    }

    static void TearDownTestSuite()
    {
        ServiceSuite::TearDownTestSuite();
        delete s_http;
        s_http = nullptr;
    }

    void SetUp() override
    {
        ServiceSuite::SetUp();
        if (HasFatalFailure())
            return;
        players().writeRegistry(Installed::Both);
        ASSERT_OPEN(m_client, wsUrl(kPlainPort));
    }

    void TearDown() override
    {
        ServiceSuite::TearDown();
        service().endPlayers();
    }
    static HttpTestServer &http() { return *s_http; }

    // Sends one Play and collects what it left: the reply, the started player's record,
    // the files that appeared in the working folders.
    PlayResult play(WsClient &client, const QByteArray &request, bool playerExpected, int timeoutMs = 15000)
    {
        const QStringList playlistsBefore = fileNames(players().playlistDir());
        const QStringList subtitlesBefore = fileNames(players().subtitleDir());
        RecordWatcher records(players().recordDir());
        PlayResult result;
        result.reply = orNone(client.request(request, timeoutMs));
        if (playerExpected)
            result.record = records.next(10000);
        result.newPlaylists = minus(fileNames(players().playlistDir()), playlistsBefore);
        result.newSubtitles = minus(fileNames(players().subtitleDir()), subtitlesBefore);
        return result;
    }

    PlayResult play(const QByteArray &request, bool playerExpected) { return play(m_client, request, playerExpected); }

    QString playlistPath(const QString &name) const { return players().playlistDir() + '/' + name; }

    static HttpTestServer *s_http;
    WsClient m_client;
};

HttpTestServer *PlayE2E::s_http = nullptr;

QByteArray vlcPlay(const QByteArray &id, const QByteArray &params)
{
    return R"({"action":"Play","application":"vlc","id":)" + id + R"(,"params":)" + params + "}";
}

// The time name is the local time of day when the request was handled.
::testing::AssertionResult isRecentTimeName(const QString &name)
{
    const QTime named = QTime::fromString(name.left(9), QStringLiteral("hhmmsszzz"));
    if (!named.isValid())
        return ::testing::AssertionFailure() << name.toStdString() << " does not start with a time name";
    int difference = qAbs(named.msecsTo(QTime::currentTime()));
    difference = qMin(difference, 86400000 - difference);
    if (difference > 60000)
        return ::testing::AssertionFailure() << name.toStdString() << " is " << difference << " ms from now";
    return ::testing::AssertionSuccess();
}

TEST_F(PlayE2E, VlcGetsThePlaylistTheOptionsAndTheDownloadedSubtitle)
{
    const int stderrStart = service().stderrText().size();
    const PlayResult result = play(
        vlcPlay("7", R"({"files":[{"url":"http://nas/a.mkv","sub-file":")" + http().url("/sub.srt")
                         + R"("},{"url":"http://nas/b.mkv","sub-file":")" + http().url("/other.srt")
                         + R"("}],"arguments":[{"fullscreen":true}]})"),
        true);
    EXPECT_EQ(result.reply, playReply("7", 0, true));
    ASSERT_TRUE(result.record) << "no player started";
    ASSERT_EQ(result.newPlaylists.size(), 1) << result.newPlaylists.join(' ').toStdString();
    const QString name = result.newPlaylists.first();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{9}\\.list$")).match(name).hasMatch()) << name.toStdString();
    EXPECT_TRUE(isRecentTimeName(name));
    EXPECT_EQ(readFile(playlistPath(name)), QByteArray("http://nas/a.mkv\nhttp://nas/b.mkv\n"));

    // Only the first "sub-file" counts; it is saved under the playlist's time name.
    const QString subtitle = players().subtitleDir() + '/' + QFileInfo(name).completeBaseName() + ".srt";
    EXPECT_EQ(result.newSubtitles, QStringList{QFileInfo(subtitle).fileName()});
    EXPECT_TRUE(readFile(subtitle) == kSubtitle) << "the subtitle file's bytes differ from the served ones";
    EXPECT_EQ(http().hits("/sub.srt"), 1);
    EXPECT_EQ(http().hits("/other.srt"), 0);

    EXPECT_EQ(result.record->program, players().vlcProgram());
    EXPECT_EQ(result.record->arguments,
              (QStringList{"file://" + playlistPath(name), "--video-on-top", "--fullscreen", "--sub-file=" + subtitle}));
    EXPECT_EQ(result.record->uid, uint(geteuid())) << "debug mode starts players as the service's own user";

    // The launch callback's record names the mode, the program and the arguments.
    const QByteArray records = service().stderrText().mid(stderrStart);
    EXPECT_TRUE(records.contains("m_bDebugMode: true")) << records.toStdString();
    EXPECT_TRUE(records.contains("CMD_CLIENT: " + players().vlcProgram().toUtf8())) << records.toStdString();
    EXPECT_TRUE(service().stderrText().contains("setDebugMode: true"));
}

TEST_F(PlayE2E, VlcOptionsFollowTheOptionObjects)
{
    struct Row {
        QByteArray arguments; // the "arguments" value, empty for none
        QStringList options;  // what follows the playlist argument
    };
    const Row rows[] = {
        {"", {"--video-on-top"}},
        {R"([{"fullscreen":true}])", {"--video-on-top", "--fullscreen"}},
        {R"([{"video-on-top":false}])", {}},
        {R"([{"video-on-top":"no"}])", {"--video-on-top"}},
        {R"([{"fullscreen":"yes"}])", {"--video-on-top"}},
        {R"([{"fullscreen":1}])", {"--video-on-top"}},
        {R"([{"video-on-top":false,"fullscreen":true}])", {}},
        {R"([{"fullscreen":true},{"video-on-top":false}])", {"--fullscreen"}},
        {R"([{"fullscreen":true},{"fullscreen":false}])", {"--video-on-top"}},
        {R"(["fullscreen","video-on-top"])", {"--video-on-top"}},
        {R"([[{"fullscreen":true}],null,5])", {"--video-on-top"}},
    };
    int id = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments.isEmpty() ? std::string("no arguments") : row.arguments.toStdString());
        const QByteArray idText = QByteArray::number(++id);
        const QByteArray params = R"({"files":[{"url":"http://nas/v.mkv"}])"
                                  + (row.arguments.isEmpty() ? QByteArray() : ",\"arguments\":" + row.arguments) + "}";
        const PlayResult result = play(vlcPlay(idText, params), true);
        EXPECT_EQ(result.reply, playReply(idText, 0));
        ASSERT_TRUE(result.record) << "no player started";
        ASSERT_EQ(result.newPlaylists.size(), 1);
        EXPECT_EQ(result.record->arguments, QStringList{"file://" + playlistPath(result.newPlaylists.first())} + row.options);
    }
}

TEST_F(PlayE2E, SubtitleThatCannotBeFetchedLeavesNoFileAndThePlayerStarts)
{
    QFile local(players().root() + "/local.srt");
    ASSERT_TRUE(local.open(QIODevice::WriteOnly) && local.write("1\n") == 2);
    local.close();
    struct Row {
        const char *name;
        QByteArray firstSubFile;
        QByteArray secondSubFile; // a later element's, which never counts
        QByteArray requestedPath; // what the server must have been asked for, empty for nothing
    };
    const Row rows[] = {
        {"404 with an error page", http().url("/missing.srt"), "", "/missing.srt"},
        {"redirect, not followed", http().url("/moved.srt"), "", "/moved.srt"},
        {"file:// url", "file://" + local.fileName().toUtf8(), "", ""},
        {"port without a listener", "http://127.0.0.1:" + QByteArray::number(freePort()) + "/x.srt", "", ""},
        {"first sub-file empty, second ignored", "", http().url("/sub.srt"), ""},
    };
    int id = 20;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QList<QByteArray> requestsBefore = http().requests();
        const QByteArray idText = QByteArray::number(++id);
        QByteArray files = R"([{"url":"http://nas/s.mkv","sub-file":")" + row.firstSubFile + R"("})";
        if (!row.secondSubFile.isEmpty())
            files += R"(,{"url":"http://nas/t.mkv","sub-file":")" + row.secondSubFile + R"("})";
        const PlayResult result = play(vlcPlay(idText, R"({"files":)" + files + "]}"), true);
        EXPECT_EQ(result.reply, playReply(idText, 0, false));
        EXPECT_EQ(result.newSubtitles, QStringList()) << "a partial subtitle file was left";
        ASSERT_TRUE(result.record) << "the player did not start";
        ASSERT_EQ(result.newPlaylists.size(), 1);
        EXPECT_EQ(result.record->arguments,
                  (QStringList{"file://" + playlistPath(result.newPlaylists.first()), "--video-on-top"}));
        const QList<QByteArray> requested = http().requests().mid(requestsBefore.size());
        EXPECT_EQ(requested, row.requestedPath.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{row.requestedPath});
    }
}

TEST_F(PlayE2E, PotplayerGetsOnlyThePlaylistPath)
{
    const QList<QByteArray> requestsBefore = http().requests();
    const PlayResult result = play(
        R"({"action":"Play","application":"potplayer","id":"pot","params":{"files":[{"url":"http://nas/p.mkv","sub-file":")"
            + http().url("/sub.srt") + R"("},{"url":"http://nas/q.mkv"}],"arguments":[{"fullscreen":true}]}})",
        true);
    EXPECT_EQ(result.reply, playReply(R"("pot")", 0));
    ASSERT_TRUE(result.record) << "no player started";
    ASSERT_EQ(result.newPlaylists.size(), 1);
    const QString name = result.newPlaylists.first();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{9}\\.m3u$")).match(name).hasMatch()) << name.toStdString();
    EXPECT_EQ(readFile(playlistPath(name)), QByteArray("http://nas/p.mkv\nhttp://nas/q.mkv\n"));
    EXPECT_EQ(result.record->program, players().potplayerProgram());
    EXPECT_EQ(result.record->arguments, QStringList{playlistPath(name)});
    EXPECT_EQ(result.newSubtitles, QStringList());
    EXPECT_EQ(http().requests(), requestsBefore) << "PotPlayer's request downloaded a subtitle";
}

TEST_F(PlayE2E, RequestsThatStartNoPlayerLeaveNoFile)
{
    RecordWatcher records(players().recordDir());
    const QList<QByteArray> requestsBefore = http().requests();
    struct Row {
        QByteArray request;
        QByteArray reply;
    };
    const QByteArray files = R"({"files":[{"url":"http://nas/x.mkv"}]})";
    const Row rows[] = {
        {R"({"action":"Play","application":"elmedia","id":1,"params":)" + files + "}", playReply("1", -1)},
        {R"({"action":"Play","application":"VLC","id":2,"params":)" + files + "}", kUnsupport},
        {R"({"action":"Play","application":"Vlc","id":3,"params":)" + files + "}", kUnsupport},
        // Known, but not configured, and the registry rules have nothing else for it.
        {R"({"action":"Play","application":"mpv","id":4,"params":)" + files + "}", playReply("4", -1)},
        {R"({"action":"Play","id":5,"params":)" + files + "}", kUnsupport},
        {vlcPlay("6", R"({"files":[]})"), playReply("6", -2)},
        {vlcPlay("7", R"({})"), playReply("7", -4)},
        {vlcPlay("8", "null"), playReply("8", -4)},
        {vlcPlay("9", R"("files")"), playReply("9", -4)},
        {vlcPlay("10", R"({"files":"http://nas/x.mkv"})"), playReply("10", -2)},
        {vlcPlay("11", R"({"files":{"url":"http://nas/x.mkv"}})"), playReply("11", -2)},
        {vlcPlay("12", R"({"files":[1,"http://nas/x.mkv",null,[{"url":"y"}]]})"), playReply("12", -2)},
        {vlcPlay("13", R"({"files":[{"name":"x"}]})"), playReply("13", -2)},
        // A "sub-file" without any "url": nothing to play, so nothing is downloaded.
        {vlcPlay("14", R"({"files":[{"sub-file":")" + http().url("/sub.srt") + R"("}]})"), playReply("14", -2, false)},
        {R"({"action":"Play","application":"potplayer","id":15,"params":{"files":[]}})", playReply("15", -2)},
        {R"({"action":"Play","application":"potplayer","id":16,"params":{}})", playReply("16", -4)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.request.toStdString());
        const PlayResult result = play(row.request, false);
        EXPECT_EQ(result.reply, row.reply);
        EXPECT_EQ(result.newPlaylists, QStringList());
        EXPECT_EQ(result.newSubtitles, QStringList());
    }
    EXPECT_TRUE(records.expectNone(2000)) << "a player was started";
    EXPECT_EQ(http().requests(), requestsBefore);
}

TEST_F(PlayE2E, PlaylistHoldsOneLinePerUrl)
{
    struct Row {
        const char *name;
        QByteArray files;
        QByteArray content;
    };
    const Row rows[] = {
        {"non-object elements and elements without url skipped",
         R"([{"url":"http://nas/1"},"http://nas/skip",{"nourl":1},null,{"url":"http://nas/2"}])",
         "http://nas/1\nhttp://nas/2\n"},
        {"url of a number", R"([{"url":5}])", "\n"},
        {"url of null", R"([{"url":null},{"url":"http://nas/after"}])", "\nhttp://nas/after\n"},
        {"UTF-8", R"([{"url":"http://nas/\u00e9t\u00e9 \ud83d\ude00.mkv"}])", "http://nas/\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80.mkv\n"},
        {"line feed and carriage return percent-encoded", R"([{"url":"http://nas/a\nb"},{"url":"http://nas/c\r\nd"}])",
         "http://nas/a%0Ab\nhttp://nas/c%0D%0Ad\n"},
        {"text ends at a NUL", R"([{"url":"http://nas/a\u0000b"},{"url":"http://nas/c"}])", "http://nas/a"},
    };
    int id = 40;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray idText = QByteArray::number(++id);
        const PlayResult result = play(vlcPlay(idText, R"({"files":)" + row.files + "}"), true);
        EXPECT_EQ(result.reply, playReply(idText, 0));
        ASSERT_EQ(result.newPlaylists.size(), 1);
        EXPECT_EQ(readFile(playlistPath(result.newPlaylists.first())), row.content);
        ASSERT_TRUE(result.record) << "no player started";
        EXPECT_EQ(result.record->arguments.value(0), "file://" + playlistPath(result.newPlaylists.first()));
    }
}

TEST_F(PlayE2E, TakenTimeNameGivesAFreshFile)
{
    // Every time name of the next seconds is taken by an old playlist.
    QSet<QString> stale;
    const QTime now = QTime::currentTime();
    for (int ms = -1000; ms < 20000; ++ms) {
        const QString name = now.addMSecs(ms).toString(QStringLiteral("hhmmsszzz")) + ".list";
        QFile file(playlistPath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("STALE\n") == 6);
        stale.insert(name);
    }
    const PlayResult result = play(vlcPlay("1", R"({"files":[{"url":"http://nas/fresh.mkv"}]})"), true);
    EXPECT_EQ(result.reply, playReply("1", 0));
    ASSERT_TRUE(result.record) << "no player started";
    const QString path = QUrl(result.record->arguments.value(0)).toLocalFile();
    const QString name = QFileInfo(path).fileName();
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^(\\d{9})-\\d+\\.list$")).match(name);
    EXPECT_TRUE(match.hasMatch()) << name.toStdString();
    EXPECT_FALSE(stale.contains(name));
    EXPECT_EQ(readFile(path), QByteArray("http://nas/fresh.mkv\n"));
    if (match.hasMatch()) {
        EXPECT_EQ(readFile(playlistPath(match.captured(1) + ".list")), QByteArray("STALE\n"));
    }
    for (const QString &name : qAsConst(stale))
        QFile::remove(playlistPath(name));
}

TEST_F(PlayE2E, SimultaneousPlaysOnBothPortsWriteSeparateFiles)
{
    WsClient other;
    ASSERT_OPEN(other, wsUrl(kTlsPort));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        RecordWatcher records(players().recordDir());
        const QByteArray urls8142 = "http://nas/8142-" + QByteArray::number(round);
        const QByteArray urls8143 = "http://nas/8143-" + QByteArray::number(round);
        m_client.sendText(vlcPlay("42", R"({"files":[{"url":")" + urls8142 + R"(a"},{"url":")" + urls8142 + R"(b"}]})"));
        other.sendText(vlcPlay("43", R"({"files":[{"url":")" + urls8143 + R"(a"},{"url":")" + urls8143 + R"(b"}]})"));
        EXPECT_EQ(orNone(m_client.nextMessage(15000)), playReply("42", 0));
        EXPECT_EQ(orNone(other.nextMessage(15000)), playReply("43", 0));
        const auto first = records.next();
        const auto second = records.next();
        ASSERT_TRUE(first && second) << "two players must start";
        const QString firstPath = QUrl(first->arguments.value(0)).toLocalFile();
        const QString secondPath = QUrl(second->arguments.value(0)).toLocalFile();
        EXPECT_NE(firstPath, secondPath);
        const QSet<QByteArray> contents{readFile(firstPath), readFile(secondPath)};
        EXPECT_EQ(contents, (QSet<QByteArray>{urls8142 + "a\n" + urls8142 + "b\n", urls8143 + "a\n" + urls8143 + "b\n"}));
    }
}

} // namespace
