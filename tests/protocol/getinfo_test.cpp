#include "protocol/envelope.h"
#include "protocoltestsupport.h"


#include <gtest/gtest.h>

#include <string>

using namespace protocoltest;

namespace {

const std::string kSupport = testsupport::kGetinfoSupport.toStdString();
// mpv is offered only while it is installed, after the other two.
const std::string kSupportWithMpv =
    QByteArray(testsupport::kGetinfoSupport)
        .replace(R"("player":"potplayer"})",
                 R"("player":"potplayer"},{"arguments":["fullscreen","video-on-top","sub-file"],"display_name":"mpv","player":"mpv"})")
        .toStdString();

std::string getinfo(const std::string &request)
{
    Recorder recorder;
    const std::string reply = handleRequest(request, recorder.context());
    EXPECT_TRUE(recorder.launches.empty());
    EXPECT_EQ(recorder.stops, 0);
    return reply;
}

TEST(Getinfo, ListsTheInstalledPlayersAndAlwaysBothSupported)
{
    struct Row {
        bool vlc;
        bool potplayer;
        bool executablesPresent;
        std::string applications;
        bool mpv = false;
    };
    const Row rows[] = {
        {false, false, true, "[]"},
        {true, false, true, R"(["vlc"])"},
        {false, true, true, R"(["potplayer"])"},
        {true, true, true, R"(["vlc","potplayer"])"},
        // Registered, but the executable is gone.
        {true, true, false, "[]"},
        {true, true, true, R"(["vlc","potplayer","mpv"])", true},
        {false, false, true, R"(["mpv"])", true},
    };
    for (const Row &row : rows) {
        setPlayers(row.vlc, row.potplayer, row.executablesPresent);
        setMpv(row.mpv && row.executablesPresent);
        SCOPED_TRACE(row.applications);
        const std::string &support = row.mpv ? kSupportWithMpv : kSupport;
        EXPECT_EQ(getinfo(R"({"action":"Getinfo","id":1})"),
                  R"({"action":"Getinfo","applications":)" + row.applications + R"(,"id":1,)" + support);
        EXPECT_EQ(getinfo(R"({"action":"Getinfo"})"),
                  R"({"action":"Getinfo","applications":)" + row.applications + "," + support);
    }
    setMpv(false);
}

TEST(Getinfo, SeesPlayersInstalledSinceTheLastRefresh)
{
    setPlayers(false, false);
    EXPECT_EQ(getinfo(R"({"action":"Getinfo","id":1})"), R"({"action":"Getinfo","applications":[],"id":1,)" + kSupport);

    // Installed behind the service's back: the request itself refreshes the table.
    players().writeRegistry(testsupport::Installed::PotPlayer);
    players().setProgramsPresent(false, true);
    EXPECT_EQ(getinfo(R"({"action":"Getinfo","id":1})"),
              R"({"action":"Getinfo","applications":["potplayer"],"id":1,)" + kSupport);
}

TEST(Getinfo, WritesNothingAndStartsNothing)
{
    setPlayers(true, true);
    const QString playlists = rootPath() + QStringLiteral("/public/Mirvale/playlist");
    emptyFolder(playlists);
    EXPECT_EQ(getinfo(R"({"action":"Getinfo","application":"vlc","params":{"files":[{"url":"a"}]},"id":"q"})"),
              R"({"action":"Getinfo","applications":["vlc","potplayer"],"id":"q",)" + kSupport);
    EXPECT_TRUE(fileNames(playlists).isEmpty());
}

} // namespace
