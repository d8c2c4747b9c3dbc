#include "playerprocess.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// Field 22 of /proc/<pid>/stat, in clock ticks after boot. The command name (field 2) may hold
// spaces and parentheses, so the fields are counted after its last ')'.
long long processStartTime(long long pid)
{
    if (pid <= 0)
        return 0;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file)
        return 0;
    const std::string stat{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::size_t pos = stat.rfind(')');
    if (pos == std::string::npos)
        return 0;
    ++pos;
    std::size_t fieldStart = 0;
    std::size_t fieldEnd = 0;
    for (int number = 3; number <= 22; ++number) {
        while (pos < stat.size() && stat[pos] == ' ')
            ++pos;
        fieldStart = pos;
        while (pos < stat.size() && stat[pos] != ' ' && stat[pos] != '\n')
            ++pos;
        fieldEnd = pos;
        if (fieldStart == fieldEnd)
            return 0;
    }
    long long startTime = 0;
    const char *first = stat.data() + fieldStart;
    const char *last = stat.data() + fieldEnd;
    const auto [end, error] = std::from_chars(first, last, startTime);
    if (error != std::errc() || end != last || startTime <= 0)
        return 0;
    return startTime;
}

void killPlayerProcess(long long pid, long long startTime)
{
    // kill(0) and kill(-n) would signal whole process groups, kill(-1) every process we may.
    if (pid <= 0 || startTime == 0 || static_cast<long long>(static_cast<pid_t>(pid)) != pid)
        return;
    const pid_t id = static_cast<pid_t>(pid);
    // The descriptor pins the process found under the id before its start time is compared,
    // so an id reused between the comparison and the signal is never hit.
    // Through syscall(2): Debian 12's <sys/pidfd.h> lacks C linkage for C++.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, id, 0));
    if (pidfd < 0) {
        if (errno == ENOSYS && processStartTime(pid) == startTime)
            ::kill(id, SIGKILL);
        return;
    }
    if (processStartTime(pid) == startTime)
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    ::close(pidfd);
}
