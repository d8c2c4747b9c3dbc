#include "service/childprocesses.h"

#include "network/eventwait.h"

#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <systemd/sd-login.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

char processState(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = file.readAll();
    // The state follows the command name, which is in parentheses and may hold spaces.
    const int close = line.lastIndexOf(')');
    return close >= 0 && close + 2 < line.size() ? line.at(close + 2) : 0;
}

QByteArray commandLine(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void reap(qint64 pid)
{
    int status = 0;
    while (waitpid(pid_t(pid), &status, WNOHANG) < 0 && errno == EINTR) {
    }
}

} // namespace

void becomeSubreaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool processAlive(qint64 pid)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    const char state = processState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

bool waitProcessGone(qint64 pid, int timeoutMs)
{
    // A pidfd turns readable when the process ends, whoever its parent is.
    const int pidfd = int(syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (pidfd >= 0) {
        QEventLoop loop;
        QSocketNotifier notifier(pidfd, QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        if (processAlive(pid))
            loop.exec();
        close(pidfd);
    } else {
        waitUntil([pid] { return !processAlive(pid); }, timeoutMs);
    }
    const bool gone = !processAlive(pid);
    if (gone)
        reap(pid);
    return gone;
}

bool waitProcessReaped(qint64 pid, int timeoutMs)
{
    return waitUntil(
        [pid] {
            reap(pid);
            return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
        },
        timeoutMs);
}

void endFakePlayer(qint64 pid)
{
    if (processAlive(pid) && commandLine(pid).startsWith(QByteArray("sleep\0" "300", 9))) {
        ::kill(pid_t(pid), SIGKILL);
        waitProcessGone(pid, 5000);
    }
    reap(pid);
}

long long processStartTicks(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = file.readAll();
    // Field 22; the fields are counted after the command name's closing parenthesis.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields.at(19).toLongLong() : 0;
}

long long bootTicksNow()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const long long ticksPerSecond = sysconf(_SC_CLK_TCK);
    return now.tv_sec * ticksPerSecond + now.tv_nsec / (1000000000LL / ticksPerSecond);
}

qint64 spawnSleeperWithPid(qint64 wantedPid, uint uid, int attempts)
{
    const passwd *user = getpwuid(uid_t(uid));
    const gid_t gid = user ? user->pw_gid : gid_t(uid);
    for (int attempt = 0; attempt < attempts; ++attempt) {
        QFile lastPid(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
        if (!lastPid.open(QIODevice::WriteOnly) || lastPid.write(QByteArray::number(wantedPid - 1)) <= 0)
            return -1;
        lastPid.close();
        const pid_t child = fork();
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid_t(uid)) != 0)
                _exit(126);
            execl("/bin/sleep", "sleep", "300", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (child < 0)
            return -1;
        if (child == wantedPid)
            return child;
        ::kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    return -1;
}

void endSleeper(qint64 pid)
{
    if (pid <= 0)
        return;
    ::kill(pid_t(pid), SIGKILL);
    waitpid(pid_t(pid), nullptr, 0);
}

bool waitSleeperGone(qint64 pid, int timeoutMs, QString *how)
{
    int status = 0;
    const bool gone = waitUntil([&] { return waitpid(pid_t(pid), &status, WNOHANG) == pid_t(pid); }, timeoutMs, 10);
    if (gone) {
        *how = WIFSIGNALED(status) ? QStringLiteral("killed by signal %1").arg(WTERMSIG(status))
                                   : QStringLiteral("exited with code %1").arg(WEXITSTATUS(status));
    }
    return gone;
}

bool activeLoginSessionExists()
{
    char **sessions = nullptr;
    const int count = sd_get_sessions(&sessions);
    bool found = false;
    for (int i = 0; i < count; ++i) {
        uid_t uid = 0;
        if (sd_session_is_active(sessions[i]) > 0 && sd_session_get_uid(sessions[i], &uid) >= 0)
            found = true;
        free(sessions[i]);
    }
    free(sessions);
    return found;
}

} // namespace testsupport
