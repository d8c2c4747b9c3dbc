#include "players/playerprocess.h"

#include "base/descriptor_posix.h"

#include <cerrno>
#include <csignal>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

void killPlayerProcess(long long pid, long long startTime)
{
    // kill(0) and kill(-n) would signal whole process groups, kill(-1) every process we may.
    if (pid <= 0 || startTime == 0 || static_cast<long long>(static_cast<pid_t>(pid)) != pid)
        return;
    const pid_t id = static_cast<pid_t>(pid);
    // The descriptor pins the process found under the id before its start time is compared,
    // so an id reused between the comparison and the signal is never hit.
    // Through syscall(2): Debian 12's <sys/pidfd.h> lacks C linkage for C++.
    const Descriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, id, 0)));
    if (!pidfd) {
        if (errno == ENOSYS && processStartTime(pid) == startTime)
            ::kill(id, SIGKILL);
        return;
    }
    if (processStartTime(pid) == startTime)
        ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
}
