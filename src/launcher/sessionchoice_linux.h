#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The session a program is started in: the one seat0 shows, as logind tells it.
namespace sessionlauncher {

// One logind session as sd-login reports it.
struct LogindSession {
    std::string id;
    bool active = false;      // on a seat: the session the seat shows now (sd_seat_get_active)
    std::string state;        // "active", "online" or "closing" (sd_session_get_state)
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
// account (uid at or above uidMin, never root) that is not closing; else null.
const LogindSession *chooseSession(const std::vector<LogindSession> &sessions, uid_t uidMin);

} // namespace sessionlauncher
