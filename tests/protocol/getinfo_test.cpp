#include "protocol/envelope.h"
#include "protocoltestsupport.h"


#include <gtest/gtest.h>

#include <string>

using namespace protocoltest;

namespace {

const std::string kSupport = testsupport::kGetinfoSupport.toStdString();

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
    };
    const Row rows[] = {
        {false, false, true, "[]"},
        {true, false, true, R"(["vlc"])"},
        {false, true, true, R"(["potplayer"])"},
        {true, true, true, R"(["vlc","potplayer"])"},
        // Registered, but the executable is gone.
        {true, true, false, "[]"},
    };
    for (const Row &row : rows) {
        setPlayers(row.vlc, row.potplayer, row.executablesPresent);
        SCOPED_TRACE(row.applications);
        EXPECT_EQ(getinfo(R"({"action":"Getinfo","id":1})"),
                  R"({"action":"Getinfo","applications":)" + row.applications + R"(,"id":1,)" + kSupport);
        EXPECT_EQ(getinfo(R"({"action":"Getinfo"})"),
                  R"({"action":"Getinfo","applications":)" + row.applications + "," + kSupport);
    }
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
