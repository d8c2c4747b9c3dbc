#include "launcher/sessionchoice_linux.h"

#include "base/released.h"

#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sessionlauncher {

namespace {

std::string sessionText(int (*query)(const char *, char **), const char *session)
{
    char *raw = nullptr;
    if (query(session, &raw) < 0)
        return {};
    const Freed<char> text(raw);
    return text ? std::string(text.get()) : std::string();
}

} // namespace

std::vector<LogindSession> listLogindSessions()
{
    std::vector<LogindSession> sessions;
    char **raw = nullptr;
    const int count = ::sd_get_sessions(&raw);
    const Freed<char *> ids(raw);
    if (count <= 0 || !raw)
        return sessions;
    for (int i = 0; i < count; ++i) {
        const Freed<char> id(raw[i]);
        LogindSession session;
        session.id = id.get();
        session.active = ::sd_session_is_active(id.get()) > 0;
        session.state = sessionText(&::sd_session_get_state, id.get());
        session.hasUser = ::sd_session_get_uid(id.get(), &session.uid) >= 0;
        session.seat = sessionText(&::sd_session_get_seat, id.get());
        session.sessionClass = sessionText(&::sd_session_get_class, id.get());
        session.type = sessionText(&::sd_session_get_type, id.get());
        session.display = sessionText(&::sd_session_get_display, id.get());
        sessions.push_back(std::move(session));
    }
    return sessions;
}

uid_t readUidMin(const std::string &path)
{
    constexpr uid_t kDefault = 1000;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string name;
        std::string value;
        if (!(words >> name >> value) || name != "UID_MIN")
            continue;
        char *end = nullptr;
        errno = 0;
        const unsigned long parsed = std::strtoul(value.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || value[0] == '-' || parsed > 0x7fffffffUL)
            return kDefault;
        return static_cast<uid_t>(parsed);
    }
    return kDefault;
}

const LogindSession *chooseSession(const std::vector<LogindSession> &sessions, uid_t uidMin)
{
    for (const LogindSession &session : sessions) {
        // A seat shows one session at a time: the one logind marks active there. Sessions
        // without a seat (ssh, cron) count as active too, and have no screen.
        if (session.seat != "seat0" || !session.active)
            continue;
        const bool graphical = session.type == "x11" || session.type == "wayland";
        const bool ordinary = session.hasUser && session.uid != 0 && session.uid >= uidMin;
        // A session whose leader has ended stays the seat's active one while it closes, but
        // its display is gone.
        const bool open = session.state == "active";
        return graphical && ordinary && open && session.sessionClass == "user" ? &session
                                                                              : nullptr;
    }
    return nullptr;
}

} // namespace sessionlauncher
