#include "launcher/spawn_linux.h"

#include "base/descriptor_posix.h"
#include "base/exectexts.h"
#include "base/processidentity.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

extern char **environ;

namespace sessionlauncher {

namespace {

// ---- The child side of spawnDetached. Between fork and exec only async-signal-safe calls.

enum Step : std::int32_t {
    StepPid = 1,
    StepDropped,
    StepFork,
    StepSetsid,
    StepOpen,
    StepDup2,
    StepSigprocmask,
    StepSetgroups,
    StepSetgid,
    StepSetuid,
    StepExecve,
};

const char *stepName(std::int32_t step)
{
    switch (step) {
    case StepFork: return "fork";
    case StepSetsid: return "setsid";
    case StepOpen: return "open";
    case StepDup2: return "dup2";
    case StepSigprocmask: return "sigprocmask";
    case StepSetgroups: return "setgroups";
    case StepSetgid: return "setgid";
    case StepSetuid: return "setuid";
    case StepExecve: return "execve";
    default: return "fork";
    }
}

// Written whole (well below PIPE_BUF), so the two writers never interleave within one.
struct Report {
    std::int32_t step;
    std::int32_t value;
};

void report(int fd, std::int32_t step, std::int32_t value)
{
    const Report r{step, value};
    while (::write(fd, &r, sizeof r) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void failChild(int fd, std::int32_t step)
{
    report(fd, step, errno);
    ::_exit(127);
}

struct ChildPlan {
    const char *path;
    char *const *argv;
    char *const *envp; // null: the caller's environment as it is at fork
    const Credentials *credentials;
    int reportFd;
    int maxFd; // fallback bound when close_range is missing
};

void closeRange(unsigned first, unsigned last, int maxFd)
{
    if (first > last)
        return;
    if (::close_range(first, last, 0) == 0)
        return;
    const unsigned bound = std::min(last, static_cast<unsigned>(maxFd));
    for (unsigned fd = first; fd <= bound; ++fd)
        ::close(static_cast<int>(fd));
}

[[noreturn]] void runProgram(const ChildPlan &plan)
{
    const int fd = plan.reportFd;

    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0)
        failChild(fd, StepOpen);
    for (int target = 0; target <= 2; ++target) {
        if (null != target && ::dup2(null, target) < 0)
            failChild(fd, StepDup2);
    }
    // The service's sockets and files must not live on in the program.
    closeRange(3, static_cast<unsigned>(fd) - 1, plan.maxFd);
    closeRange(static_cast<unsigned>(fd) + 1, ~0u, plan.maxFd);

    // A blocked or ignored signal would survive exec: the program starts with the defaults.
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &defaults, nullptr); // fails harmlessly for SIGKILL, SIGSTOP and gaps
    sigset_t none;
    ::sigemptyset(&none);
    if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0)
        failChild(fd, StepSigprocmask);

    if (const Credentials *c = plan.credentials) {
        if (::setgroups(c->groups.size(), c->groups.data()) != 0)
            failChild(fd, StepSetgroups);
        if (::setgid(c->gid) != 0)
            failChild(fd, StepSetgid);
        if (::setuid(c->uid) != 0)
            failChild(fd, StepSetuid);
        // Never run the program with anything left of the caller's identity.
        if (::getuid() != c->uid || ::geteuid() != c->uid || ::getgid() != c->gid
            || ::getegid() != c->gid) {
            errno = EPERM;
            failChild(fd, StepSetuid);
        }
        if (c->uid != 0 && ::setuid(0) == 0) {
            errno = EPERM;
            failChild(fd, StepSetuid);
        }
        report(fd, StepDropped, 0);
    }

    ::execve(plan.path, plan.argv, plan.envp ? plan.envp : environ);
    failChild(fd, StepExecve);
}

// The first child: leaves the caller's session, starts the program in a grandchild that
// nobody waits for, reports the grandchild's id and ends.
[[noreturn]] void runIntermediate(const ChildPlan &plan)
{
    if (::setsid() < 0)
        failChild(plan.reportFd, StepSetsid);
    const pid_t pid = ::fork();
    if (pid < 0)
        failChild(plan.reportFd, StepFork);
    if (pid == 0)
        runProgram(plan);
    report(plan.reportFd, StepPid, static_cast<std::int32_t>(pid));
    ::_exit(0);
}

// ---- The parent side of spawnDetached, in the order it runs.

// How far the child closes descriptors one by one where close_range is missing.
int descriptorBound()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    return 65535;
}

SpawnResult failure(const char *step, int error)
{
    SpawnResult result;
    result.failedStep = step;
    result.error = error;
    return result;
}

// The children's report pipe, close-on-exec at both ends. The child puts /dev/null on 0-2, so
// the write end must not be one of them.
bool openReportPipe(Descriptor *readEnd, Descriptor *writeEnd, SpawnResult *result)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *result = failure("pipe", errno);
        return false;
    }
    readEnd->reset(fds[0]);
    writeEnd->reset(fds[1]);
    if (fds[1] <= 2) {
        const int moved = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        writeEnd->reset(moved);
        if (moved < 0) {
            readEnd->reset();
            *result = failure("pipe", error);
            return false;
        }
    }
    return true;
}

// Everything the children report. Ends when the intermediate has left and the program has
// exec'd (close-on-exec) or died.
std::vector<Report> readReports(int fd)
{
    std::vector<Report> reports;
    Report incoming;
    size_t filled = 0;
    for (;;) {
        const ssize_t n = ::read(fd, reinterpret_cast<char *>(&incoming) + filled,
                                 sizeof incoming - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<size_t>(n);
        if (filled == sizeof incoming) {
            reports.push_back(incoming);
            filled = 0;
        }
    }
    return reports;
}

void reap(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// The program's id, or the first step that failed.
SpawnResult outcomeOf(const std::vector<Report> &reports)
{
    SpawnResult result;
    pid_t pid = 0;
    for (const Report &r : reports) {
        if (r.step == StepPid) {
            pid = r.value;
        } else if (r.step == StepDropped) {
            result.dropped = true;
        } else if (!result.failedStep) {
            result.failedStep = stepName(r.step);
            result.error = r.value;
        }
    }
    if (!result.failedStep && pid <= 0) {
        // The intermediate died before it could report.
        result.failedStep = "fork";
        result.error = ECHILD;
    }
    if (!result.failedStep) {
        result.started = true;
        result.pid = pid;
    }
    return result;
}

} // namespace

SpawnResult spawnDetached(const std::string &program, const std::vector<std::string> &arguments,
                          const std::vector<std::string> *environment,
                          const Credentials *credentials)
{
    // Built before the fork: the child may not allocate.
    const std::vector<char *> argv = argumentVector(arguments, &program);
    const std::vector<char *> envp = environment ? argumentVector(*environment)
                                                 : std::vector<char *>();
    SpawnResult result;
    Descriptor readEnd;
    Descriptor writeEnd;
    if (!openReportPipe(&readEnd, &writeEnd, &result))
        return result;

    const ChildPlan plan{program.c_str(), argv.data(), environment ? envp.data() : nullptr,
                         credentials, writeEnd.get(), descriptorBound()};
    const pid_t intermediate = ::fork();
    if (intermediate < 0)
        return failure("fork", errno);
    if (intermediate == 0) {
        readEnd.reset();
        runIntermediate(plan);
    }
    writeEnd.reset();

    const std::vector<Report> reports = readReports(readEnd.get());
    readEnd.reset();
    reap(intermediate);

    result = outcomeOf(reports);
    // Read while the program has only just started: a later stop compares it, so that whatever
    // takes the id after the program has ended is never hit.
    if (result.started)
        result.startTime = processStartTime(result.pid);
    return result;
}

} // namespace sessionlauncher
