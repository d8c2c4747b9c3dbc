#pragma once

#include <string>

// What the service framework needs of the system's service manager. Qt-free: shared by
// servicecontrol_posix.cpp (foreground process, signals, syslog, sd_notify) and
// servicecontrol_win.cpp (service control manager, event log).
namespace servicecontrol {

enum class LogType { Success = 0, Error = 1, Warning = 2, Information = 3 };

struct Hooks {
    void *context = nullptr;
    // On the thread that then runs the event loop: create the application and start the
    // service. False means the service could not start; run() then returns 1.
    bool (*start)(void *context) = nullptr;
    // Runs the event loop on the same thread and returns its exit code.
    int (*exec)(void *context) = nullptr;
    // Called on a thread of the platform's (signal or control thread). Must arrange for
    // stop() and the end of the event loop on the event loop's thread and return at once.
    void (*requestStop)(void *context) = nullptr;
};

// Runs the service under the platform's manager: start, then tell the manager that the
// service is up (sd_notify READY=1 on Linux, SERVICE_RUNNING on Windows), then exec.
// Returns the process exit code.
int run(const std::string &serviceName, const Hooks &hooks);

// The service manager's own switches of the executable, tried on its first argument before the
// service runs. Windows: "-i"/"-install" registers the service with the service control
// manager, "-u"/"-uninstall" removes it, and *exitCode is the Win32 error code (0: done).
// Linux has none (systemd units are installed by the package). True when `argument` was one.
bool runManagerSwitch(const std::string &serviceName, const std::string &description,
                      const std::string &argument, int *exitCode);

// Writes one entry to the system's service log. Safe from any thread.
void log(const std::string &serviceName, const std::string &text, LogType type, int id,
         unsigned category);

} // namespace servicecontrol
