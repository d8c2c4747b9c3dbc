#pragma once

#include "launcher/sessionchoice_linux.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The user of a session as a program started for that user needs it: the account, and the
// environment that the session's own processes were given or that is derived from the session.
namespace sessionlauncher {

struct UserAccount {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::string shell;
};

// 0, or the error of the look-up (ENOENT when the uid has no account).
int lookUpAccount(uid_t uid, UserAccount *account);

// What initgroups would install; looked up before the fork because the child may not touch NSS.
std::vector<gid_t> supplementaryGroups(const UserAccount &account);

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

} // namespace sessionlauncher
