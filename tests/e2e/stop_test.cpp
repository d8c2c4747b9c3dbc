// Ending the previous player, through the real service. In service mode the service runs
// as an ordinary user (as "nobody" when the test runs as root), which starts players as
// its own detached processes; fake players linger like player windows until ended.

#include "expected.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/wsclient.h"
#include "qtprinters.h"
#include "service/childprocesses.h"
#include "service/serviceprocess.h"

#include <csignal>
#include <unistd.h>

using namespace testsupport;

namespace {

struct Started {
    QByteArray reply;
    std::optional<PlayerRecord> record;
};

Started playVlc(WsClient &client, const QString &recordDir, const QByteArray &id)
{
    RecordWatcher records(recordDir);
    Started started;
    started.reply = orNone(client.request(
        R"({"action":"Play","application":"vlc","id":)" + id + R"(,"params":{"files":[{"url":"http://nas/)" + id + R"(.mkv"}]}})",
        15000));
    if (started.reply == playReply(id, 0))
        started.record = records.next();
    return started;
}

#define E2E_PLAY(name, client, id)                                                                 \
    const Started name = playVlc(client, players().recordDir(), id);                               \
    ASSERT_EQ(name.reply, playReply(id, 0));                                                       \
    ASSERT_TRUE(name.record) << "no player recorded its start"

class StopE2E : public ServiceSuite
{
protected:
    static void startSuite(bool debugMode)
    {
        ServiceOptions options;
        options.unprivileged = true;
        if (debugMode)
            options.arguments = QStringList{QStringLiteral("-e"), QStringLiteral("x")};
        startService(options);
        // The players stay up, as real players do, until something ends them.
        players().setLinger(true);
    }

    void SetUp() override
    {
        ServiceSuite::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_OPEN(m_plain, wsUrl(kPlainPort));
        ASSERT_OPEN(m_tls, wsUrl(kTlsPort));
    }

    WsClient m_plain;
    WsClient m_tls;
};

class StopServiceModeE2E : public StopE2E
{
protected:
    static void SetUpTestSuite() { startSuite(false); }
};

class StopDebugModeE2E : public StopE2E
{
protected:
    static void SetUpTestSuite() { startSuite(true); }
};

TEST_F(StopServiceModeE2E, NextPlayOnTheSamePortEndsThatPortsPlayerOnly)
{
    E2E_PLAY(first, m_plain, "1");
    EXPECT_EQ(first.record->uid, runningAsRoot() ? 65534u : uint(getuid())) << "the player runs as the service's user";
    E2E_PLAY(otherPort, m_tls, "2");
    EXPECT_TRUE(processAlive(first.record->pid)) << "a Play on 8143 ended the player of 8142";

    E2E_PLAY(second, m_plain, "3");
    EXPECT_TRUE(waitProcessGone(first.record->pid, scaledTimeout(5000))) << "the first player on 8142 still runs";
    EXPECT_TRUE(processAlive(otherPort.record->pid)) << "a Play on 8142 ended the player of 8143";
    EXPECT_TRUE(processAlive(second.record->pid));
}

TEST_F(StopServiceModeE2E, PlayerThatEndedIsNeverSignalledThroughItsOldId)
{
    E2E_PLAY(previous, m_tls, "10");

    // The user closes the player; the next Play finds its id unused.
    ::kill(pid_t(previous.record->pid), SIGKILL);
    ASSERT_TRUE(waitProcessGone(previous.record->pid, 5000));
    const bool idFree = waitProcessReaped(previous.record->pid, 5000);
    E2E_PLAY(next, m_tls, "11");
    EXPECT_TRUE(processAlive(next.record->pid));

    // The player ends and an unrelated process gets its id before the next Play.
    if (!runningAsRoot() || !idFree)
        GTEST_SKIP() << "a process id can be placed only as root, after the old process was reaped here";
    const long long playerStart = processStartTicks(next.record->pid);
    ::kill(pid_t(next.record->pid), SIGKILL);
    ASSERT_TRUE(waitProcessGone(next.record->pid, 5000));
    ASSERT_TRUE(waitProcessReaped(next.record->pid, 5000));
    // The service tells processes apart by start time in clock ticks. A real reuse comes
    // only after the whole id range has wrapped, long after; here the id is reused at once,
    // so the new process starts one tick later at least.
    ASSERT_TRUE(waitUntil([&] { return bootTicksNow() > playerStart; }, 1000, 2));
    const qint64 impostor = spawnSleeperWithPid(next.record->pid, next.record->uid);
    if (impostor < 0)
        GTEST_SKIP() << "could not start a process under the id " << next.record->pid;
    ASSERT_NE(processStartTicks(impostor), playerStart);
    E2E_PLAY(after, m_tls, "12");
    QString how;
    EXPECT_FALSE(waitSleeperGone(impostor, 1500, &how))
        << "the process that reused the old player's id ended: " << how;
    if (how.isEmpty())
        endSleeper(impostor);
    EXPECT_TRUE(processAlive(after.record->pid));
}

TEST_F(StopDebugModeE2E, NoPlayerIsEverEnded)
{
    E2E_PLAY(first, m_plain, "1");
    E2E_PLAY(second, m_plain, "2");
    E2E_PLAY(third, m_tls, "3");
    E2E_PLAY(fourth, m_tls, "4");
    // Ending would have happened before the later players started.
    for (const qint64 pid : {first.record->pid, second.record->pid, third.record->pid, fourth.record->pid})
        EXPECT_TRUE(processAlive(pid)) << "player " << pid << " was ended in debug mode";
}

// As root with no logged-on user there is no session to start a player in.
TEST(LauncherE2E, ServiceWithoutAnActiveSessionAnswersMinusSix)
{
    if (!runningAsRoot() || activeLoginSessionExists())
        GTEST_SKIP() << "needs root and no active login session";
    ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.error().toStdString();
    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    RecordWatcher records(service.players().recordDir());
    EXPECT_EQ(orNone(client.request(
                  R"({"action":"Play","application":"vlc","id":6,"params":{"files":[{"url":"http://nas/six.mkv"}]}})", 15000)),
              playReply("6", -6));
    // After a launch attempt the playlist stays.
    const QStringList playlists = fileNames(service.players().playlistDir());
    ASSERT_EQ(playlists.size(), 1);
    EXPECT_EQ(readFile(service.players().playlistDir() + '/' + playlists.first()), QByteArray("http://nas/six.mkv\n"));
    EXPECT_TRUE(records.expectNone(1500)) << "a player started without a session";
    service.dumpStderr(HasFailure());
    service.expectCleanStop();
}

} // namespace
