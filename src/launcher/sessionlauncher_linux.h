#pragma once

#include "launcher/sessionlauncher.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The Linux session launcher in pieces that tests can drive without a logind session.
namespace sessionlauncher {

// One logind session as sd-login reports it.
struct LogindSession {
    std::string id;
    bool active = false;
    bool hasUser = false;
    uid_t uid = 0;
    std::string sessionClass; // "user", "greeter", "lock-screen", "background", ...
    std::string type;         // "x11", "wayland", "tty", ...
    std::string display;      // the X display, empty when the session has none
};

// The sessions logind knows, in the order sd-login lists them; empty without logind.
std::vector<LogindSession> listLogindSessions();

// The first active user session that has a user, or null.
const LogindSession *chooseSession(const std::vector<LogindSession> &sessions);

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

// The environment of a program started for that user in that session, as NAME=value
// entries. runtimeDir is the user's runtime folder (/run/user/<uid>); the bus and the
// Wayland socket are named only when they exist there.
std::vector<std::string> buildUserEnvironment(const UserAccount &account,
                                              const LogindSession &session,
                                              const std::string &runtimeDir);

// The identity a started program drops to before it runs.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct SpawnResult {
    bool started = false;
    long long pid = 0;        // the started program's id; 0 unless started
    long long startTime = 0;  // its start time, read before spawnDetached returns; 0 when gone
    bool dropped = false;     // the child took on the credentials
    const char *failedStep = nullptr; // the call that failed ("fork", "setuid", "execve", ...)
    int error = 0;            // its errno
};

// Starts program detached: a new process session, stdin/stdout/stderr on /dev/null, none of
// the caller's other descriptors, the caller's current folder. environment null keeps the
// caller's; credentials null keeps the caller's identity. The program never runs when a
// step before it fails.
SpawnResult spawnDetached(const std::string &program, const std::vector<std::string> &arguments,
                          const std::vector<std::string> *environment,
                          const Credentials *credentials);

// The root path of launchGUIApplication, on the given session list.
bool launchInUserSession(const std::vector<LogindSession> &sessions, const std::string &program,
                         const std::vector<std::string> &arguments, ProcessIdentity *launched,
                         LauncherLog log);

} // namespace sessionlauncher
