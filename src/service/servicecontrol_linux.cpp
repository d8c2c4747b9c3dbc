#include "service/servicecontrol.h"

#include "base/descriptor_posix.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

namespace servicecontrol {
namespace {

const int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The stop signals are caught by a handler that writes the signal number into a pipe,
// and a watcher thread turns that into requestStop. They are deliberately not blocked
// and sigwait()ed: a blocked mask is inherited by every child, and the players we start
// would then ignore SIGTERM, SIGINT and SIGHUP for good.
//
// The pipes and handlers live for the rest of the process once set up (never closed,
// never uninstalled): a signal that arrives while the process is already winding down is
// swallowed, so it cannot turn a clean exit into a kill.
struct SignalPipes {
    bool ok = false;
    int signalRead = -1;
    int quitRead = -1;
    int quitWrite = -1;
};

// Written once before the handlers are installed, read by the handler on any thread.
std::atomic<int> g_signalWrite{-1};

void onStopSignal(int signo)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    const int fd = g_signalWrite.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const ssize_t written = ::write(fd, &byte, 1); // async-signal-safe; full pipe: dropped
        (void)written;
    }
    errno = savedErrno;
}

// Reads what is pending without blocking; true when anything was there.
bool drain(int fd)
{
    bool any = false;
    unsigned char buffer[64];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            any = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return any;
    }
}

void setDisposition(void (*handler)(int))
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : kStopSignals)
        sigaddset(&action.sa_mask, signo);
    for (int signo : kStopSignals)
        ::sigaction(signo, &action, nullptr);
}

// Set up once per process (thread-safe static initialisation); main thread in practice.
const SignalPipes &signalPipes()
{
    static const SignalPipes s_pipes = [] {
        SignalPipes pipes;
        int signalFds[2];
        int quitFds[2];
        if (::pipe2(signalFds, O_CLOEXEC | O_NONBLOCK) != 0)
            return pipes;
        Descriptor signalRead(signalFds[0]);
        Descriptor signalWrite(signalFds[1]);
        if (::pipe2(quitFds, O_CLOEXEC | O_NONBLOCK) != 0)
            return pipes;
        pipes.signalRead = signalRead.release();
        pipes.quitRead = quitFds[0];
        pipes.quitWrite = quitFds[1];
        g_signalWrite.store(signalWrite.release());
        setDisposition(&onStopSignal);
        pipes.ok = true;
        return pipes;
    }();
    return s_pipes;
}

void watchStopSignals(const SignalPipes &pipes, Hooks hooks)
{
    bool requested = false; // a second signal while stopping changes nothing
    pollfd fds[2] = {{pipes.signalRead, POLLIN, 0}, {pipes.quitRead, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if ((fds[0].revents & POLLIN) && drain(pipes.signalRead) && !requested) {
            requested = true;
            hooks.requestStop(hooks.context);
        }
        if (fds[1].revents & POLLIN) {
            drain(pipes.quitRead);
            return;
        }
    }
}

} // namespace

int run(const std::string &serviceName, const Hooks &hooks)
{
    const SignalPipes &pipes = signalPipes();
    if (pipes.ok) {
        drain(pipes.signalRead); // left over from an earlier run in this process
        drain(pipes.quitRead);
    } else {
        log(serviceName, "Stop signals cannot be watched: " + std::string(std::strerror(errno)),
            LogType::Warning, 0, 0);
    }

    if (!hooks.start(hooks.context))
        return 1;

    std::thread watcher;
    if (pipes.ok) {
        try {
            watcher = std::thread(watchStopSignals, std::cref(pipes), hooks);
        } catch (const std::system_error &error) {
            // Nobody would turn the signals into a stop: let them end the process instead.
            setDisposition(SIG_DFL);
            log(serviceName, std::string("Stop signals cannot be watched: ") + error.what(),
                LogType::Warning, 0, 0);
        }
    }

    sd_notify(0, "READY=1");
    const int code = hooks.exec(hooks.context);
    sd_notify(0, "STOPPING=1");

    if (watcher.joinable()) {
        const unsigned char quit = 0;
        while (::write(pipes.quitWrite, &quit, 1) < 0 && errno == EINTR) {
        }
        watcher.join();
    }
    return code;
}

bool runManagerSwitch(const std::string &, const std::string &, const std::string &, int *)
{
    return false;
}

void log(const std::string &serviceName, const std::string &text, LogType type, int id,
         unsigned category)
{
    // openlog keeps the ident pointer, so the text must outlive every later syslog call.
    struct Ident {
        explicit Ident(const std::string &name) : text(name) { ::openlog(text.c_str(), LOG_PID, LOG_DAEMON); }
        const std::string text;
    };
    static const Ident s_ident(serviceName);

    // Event ids and categories are a Windows event log notion.
    (void)id;
    (void)category;
    int priority = LOG_INFO;
    switch (type) {
    case LogType::Error:
        priority = LOG_ERR;
        break;
    case LogType::Warning:
        priority = LOG_WARNING;
        break;
    case LogType::Success:
    case LogType::Information:
        priority = LOG_INFO;
        break;
    }
    ::syslog(priority, "%s", text.c_str());
}

} // namespace servicecontrol
