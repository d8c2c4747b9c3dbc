#include "launcher/launchcallback.h"
#include "launchertestsupport.h"
#include "launcher/sessionlauncher_linux.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

using namespace launchertest;

namespace {

// Sets the process-wide mode for one test and restores it.
class DebugMode
{
public:
    explicit DebugMode(bool on) : m_previous(m_bDebugMode.exchange(on)) {}
    ~DebugMode() { m_bDebugMode = m_previous; }

private:
    bool m_previous;
};

} // namespace

TEST(RunClientCommand, DebugModeLogsTheCommandAndStartsItWithoutTouchingThePid)
{
    struct Row {
        std::vector<std::string> arguments;
        QString argumentLine; // ends in a space when there are arguments
    };
    const Row rows[] = {
        {{"--fullscreen", "/var/lib/Mirvale/playlist/090503042.list"},
         "--fullscreen /var/lib/Mirvale/playlist/090503042.list "},
        {{}, ""},
        {{"two words", ""}, "two words  "},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.argumentLine.toStdString());
        FakePlayer player;
        LogCapture capture;
        DebugMode debug(true);

        ProcessIdentity launched{4242, 0};
        EXPECT_TRUE(runClientCommand(player.program(), row.arguments, &launched));
        EXPECT_EQ(launched.pid, 4242);
        EXPECT_EQ(launched.startTime, 0);

        // The stream's items are separated by single spaces, so the " " item stands between
        // two of them.
        EXPECT_EQ(capture.debugRecords(),
                  QStringList{"m_bDebugMode: true CMD_CLIENT: " + player.programText() + "   "
                              + row.argumentLine});
        EXPECT_EQ(capture.serviceEntries(), QStringList{"CMD_CLIENT:" + player.programText()});

        const PlayerRecord record = player.waitForRecord();
        ASSERT_TRUE(record.present);
        EXPECT_EQ(record.arguments, toQStringList(row.arguments));
    }
}

TEST(RunClientCommand, ServiceModeAsRootWithoutSessionFailsAndKeepsThePid)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "the session path is taken only as root";
    if (sessionlauncher::chooseSession(sessionlauncher::listLogindSessions(),
                                       sessionlauncher::readUidMin()))
        GTEST_SKIP() << "this machine has an active logind session";

    FakePlayer player;
    LogCapture capture;
    DebugMode debug(false);

    ProcessIdentity launched{4242, 0};
    EXPECT_FALSE(runClientCommand(player.program(), {"--fullscreen"}, &launched));
    EXPECT_EQ(launched.pid, 4242);
    EXPECT_EQ(capture.debugRecords(),
              QStringList{"m_bDebugMode: false CMD_CLIENT: " + player.programText()
                          + "   --fullscreen "});
    EXPECT_EQ(capture.serviceEntries(),
              (QStringList{"CMD_CLIENT:" + player.programText(),
                           "launchGUIApplication no active session"}));
}

TEST(RunClientCommand, ServiceModeAsUserReportsTheStartedProcess)
{
    if (::geteuid() == 0) {
        runCurrentTestAsNobody();
        return;
    }
    FakePlayer player;
    LogCapture capture;
    DebugMode debug(false);

    ProcessIdentity launched{4242, 0};
    EXPECT_TRUE(runClientCommand(player.program(), {"--fullscreen", "a b"}, &launched));
    const PlayerRecord record = player.waitForRecord();
    ASSERT_TRUE(record.present);
    EXPECT_EQ(record.fields.value("pid"), QString::number(launched.pid));
    EXPECT_EQ(record.arguments, (QStringList{"--fullscreen", "a b"}));
    EXPECT_EQ(capture.serviceEntries(), QStringList{"CMD_CLIENT:" + player.programText()});
}

TEST(RunClientCommand, TwoAgentsLaunchingAtOnceEachGetTheirOwnProcess)
{
    if (::geteuid() == 0) {
        runCurrentTestAsNobody();
        return;
    }
    FakePlayer first;
    FakePlayer second;
    LogCapture capture;
    DebugMode debug(false);

    ProcessIdentity firstLaunched;
    ProcessIdentity secondLaunched;
    bool firstStarted = false;
    bool secondStarted = false;
    std::thread a([&] { firstStarted = runClientCommand(first.program(), {"1"}, &firstLaunched); });
    std::thread b([&] { secondStarted = runClientCommand(second.program(), {"2"}, &secondLaunched); });
    a.join();
    b.join();

    EXPECT_TRUE(firstStarted);
    EXPECT_TRUE(secondStarted);
    const PlayerRecord firstRecord = first.waitForRecord();
    const PlayerRecord secondRecord = second.waitForRecord();
    EXPECT_EQ(firstRecord.fields.value("pid"), QString::number(firstLaunched.pid));
    EXPECT_EQ(secondRecord.fields.value("pid"), QString::number(secondLaunched.pid));
    EXPECT_EQ(firstRecord.arguments, QStringList{"1"});
    EXPECT_EQ(secondRecord.arguments, QStringList{"2"});
    EXPECT_EQ(capture.debugRecords().size(), 2);
    EXPECT_EQ(capture.serviceEntries().size(), 2);
}
