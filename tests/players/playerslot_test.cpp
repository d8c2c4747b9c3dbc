#include "players/playerslot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the fake launch callback does: start or not, and report an identity (service mode) or
// leave it alone (debug mode, or a failure before process creation). Test thread only.
struct Launch {
    bool started;
    bool reports;
    ProcessIdentity identity;
};
Launch g_launch;
std::vector<std::string> g_launched;
std::vector<std::pair<long long, long long>> g_stops;

bool fakeLaunch(std::string program, std::vector<std::string> arguments, ProcessIdentity *launched)
{
    g_launched.push_back(program + " " + arguments.at(0));
    if (g_launch.reports)
        *launched = g_launch.identity;
    return g_launch.started;
}

void recordStop(long long pid, long long startTime)
{
    g_stops.emplace_back(pid, startTime);
}

} // namespace

// The slot ends the process its last launch reported, with the start time read at launch, and
// keeps it until a launch reports another: a failed creation (0) leaves nothing to end, and a
// start that reports nothing keeps the earlier player.
TEST(PlayerSlot, EndsWhatTheLastLaunchReported)
{
    PlayerSlot slot(&recordStop);
    EXPECT_FALSE(slot.launch("/bin/player", {"a"})); // no callback yet
    slot.stopLast();
    EXPECT_TRUE(g_stops.empty());
    slot.setLaunchCallback(&fakeLaunch);

    struct Row {
        const char *what;
        Launch launch;
        std::vector<std::pair<long long, long long>> stops; // of two stopLast calls
    };
    const Row rows[] = {
        {"a start in service mode", {true, true, {101, 7001}}, {{101, 7001}, {101, 7001}}},
        {"a start in debug mode", {true, false, {}}, {{101, 7001}, {101, 7001}}},
        {"the next start replaces it", {true, true, {102, 7002}}, {{102, 7002}, {102, 7002}}},
        {"failure before creation", {false, false, {}}, {{102, 7002}, {102, 7002}}},
        {"failed creation", {false, true, {0, 0}}, {}},
        {"then a start again", {true, true, {103, 0}}, {{103, 0}, {103, 0}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        g_launch = row.launch;
        g_launched.clear();
        g_stops.clear();
        EXPECT_EQ(slot.launch("/bin/player", {"a"}), row.launch.started);
        EXPECT_EQ(g_launched, std::vector<std::string>{"/bin/player a"});
        slot.stopLast();
        slot.stopLast();
        EXPECT_EQ(g_stops, row.stops);
    }
}
