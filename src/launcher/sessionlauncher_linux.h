#pragma once

#include "launcher/sessionlauncher.h"
#include "launcher/usermanager_linux.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The Linux session launcher in pieces that tests can drive without a logind session.
namespace sessionlauncher {

// One logind session as sd-login reports it.
struct LogindSession {
    std::string id;
    bool active = false;      // on a seat: the session the seat shows now (sd_seat_get_active)
    bool hasUser = false;
    uid_t uid = 0;
    std::string seat;         // "seat0", ...; empty for a remote (ssh) or background session
    std::string sessionClass; // "user", "greeter", "lock-screen", "background", ...
    std::string type;         // "x11", "wayland", "tty", ...
    std::string display;      // the X display, empty when the session has none
};

// The sessions logind knows, in the order sd-login lists them; empty without logind.
std::vector<LogindSession> listLogindSessions();

// The lowest uid of an ordinary account: UID_MIN of the login.defs file at path, 1000 when the
// file or the value is missing or unreadable.
uid_t readUidMin(const std::string &path = "/etc/login.defs");

// The session seat0 shows, when it is a graphical (x11, wayland) user session of an ordinary
// account (uid at or above uidMin, never root); else null.
const LogindSession *chooseSession(const std::vector<LogindSession> &sessions, uid_t uidMin);

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

// The environment a process was started with, as NAME=value entries; false when it cannot be
// read. As root it is read with the file system identity of uid and gid on this thread only:
// another user's environment is open to that user, and to root only with CAP_SYS_PTRACE.
bool readProcessEnvironment(long long pid, uid_t uid, gid_t gid, std::vector<std::string> *entries);

// The environment of the first of the session's own processes (of its user, in ascending pid
// order) that names a display; empty when none can be read. *pid receives that process's id.
std::vector<std::string> sessionProcessEnvironment(const LogindSession &session,
                                                   const UserAccount &account, long long *pid);

// What a program needs to show on the session's display, as NAME=value entries: DISPLAY or
// WAYLAND_DISPLAY, XAUTHORITY, DBUS_SESSION_BUS_ADDRESS, XDG_RUNTIME_DIR, XDG_SESSION_TYPE, LANG.
// A value from sessionEnvironment (what the session's processes got) wins; otherwise it is
// derived: the display from logind, the bus and the Wayland socket when they exist in runtimeDir
// (the user's runtime folder, /run/user/<uid>), the X authority file from where display managers
// keep it; LANG only from the session.
std::vector<std::string> buildDisplayEnvironment(const UserAccount &account,
                                                 const LogindSession &session,
                                                 const std::string &runtimeDir,
                                                 const std::vector<std::string> &sessionEnvironment);

// The whole environment of a program started for that user in that session: HOME, USER,
// LOGNAME, SHELL and PATH as a login gives them, the display environment above, and this
// process's LANG when the session gave none.
std::vector<std::string> buildUserEnvironment(const UserAccount &account,
                                              const LogindSession &session,
                                              const std::string &runtimeDir,
                                              const std::vector<std::string> &sessionEnvironment = {});

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

// How the root path asks a user's own systemd manager to start the program: startUserUnit, or a
// stand-in in tests.
using UnitStarter = usermanager::UnitResult (*)(uid_t uid, const usermanager::UnitRequest &request,
                                                std::chrono::milliseconds timeout);

// The root path of launchGUIApplication, on the given session list: the user's manager starts
// the program with the session's display environment; when that manager cannot be reached or
// refuses, the program is started here as that user with the whole environment. A manager that
// took the call but did not finish it in time gives false, and no second start.
bool launchInUserSession(const std::vector<LogindSession> &sessions, const std::string &program,
                         const std::vector<std::string> &arguments, ProcessIdentity *launched,
                         UnitStarter startUnit = &usermanager::startUserUnit);

} // namespace sessionlauncher
