#include "players/playerprocess.h"

#include "base/procfs_linux.h"

#include "service/childprocesses.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <string>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// A sleeping child in a process group of its own, so that no signal meant for a group can hit
// the test itself.
pid_t startSleeper(const char *program = "/bin/sleep")
{
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char *const argv[] = {const_cast<char *>("sleeper"), const_cast<char *>("60"), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : 0;
}

// The signal that ended the child; it is sent SIGTERM first, so SIGKILL means someone else killed it.
int reapAfterTerm(pid_t pid)
{
    ::kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

} // namespace

TEST(PlayerProcess, StartTimeIdentifiesTheProcess)
{
    const long long own = processStartTime(getpid());
    EXPECT_GT(own, 0);
    EXPECT_EQ(processStartTime(getpid()), own);

    // The command name may hold spaces and parentheses: the fields after it must not shift.
    QTemporaryDir dir;
    const QString oddName = dir.filePath(QStringLiteral("a) b (c) 1 2"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/bin/sleep"), oddName));
    const pid_t child = startSleeper(oddName.toUtf8().constData());
    ASSERT_GT(child, 0);
    const long long childStart = processStartTime(child);
    EXPECT_GE(childStart, own);
    EXPECT_LE(childStart, testsupport::bootTicksNow());
    EXPECT_EQ(reapAfterTerm(child), SIGTERM);

    EXPECT_EQ(processStartTime(child), 0) << "gone once reaped";
    EXPECT_EQ(processStartTime(0), 0);
    EXPECT_EQ(processStartTime(-1), 0);
    EXPECT_EQ(processStartTime(1LL << 40), 0);

    // The /proc reader gives an entry whole or not at all.
    std::string line;
    ASSERT_TRUE(readProcessEntry(getpid(), "cmdline", 1 << 20, &line));
    ASSERT_FALSE(line.empty());
    EXPECT_TRUE(readProcessEntry(getpid(), "cmdline", line.size(), &line));
    EXPECT_FALSE(readProcessEntry(getpid(), "cmdline", line.size() - 1, &line));
}

TEST(PlayerProcess, KilledOnlyWhileTheStartTimeMatches)
{
    const pid_t child = startSleeper();
    ASSERT_GT(child, 0);
    const long long startTime = processStartTime(child);
    ASSERT_GT(startTime, 0);

    // Another process under a reused id has another start time; unknown start times never match.
    killPlayerProcess(child, startTime + 1);
    killPlayerProcess(child, 0);
    // Ids of process groups.
    killPlayerProcess(-child, startTime);
    killPlayerProcess(0, processStartTime(getpid()));
    killPlayerProcess(static_cast<long long>(child) + (1LL << 32), startTime);
    EXPECT_EQ(reapAfterTerm(child), SIGTERM) << "not killed by any call above";

    const pid_t player = startSleeper();
    ASSERT_GT(player, 0);
    killPlayerProcess(player, processStartTime(player));
    int status = 0;
    ASSERT_EQ(waitpid(player, &status, 0), player);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
}
