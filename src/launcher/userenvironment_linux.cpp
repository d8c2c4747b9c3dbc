#include "launcher/userenvironment_linux.h"

#include "base/procfs_linux.h"
#include "base/released.h"

#include <systemd/sd-login.h>

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace sessionlauncher {

namespace {

// login.defs' ENV_PATH and ENV_SUPATH on Debian: what a fresh login of that user gets.
const char *const kUserPath = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games";
const char *const kRootPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

bool isSocket(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// D-Bus address values allow only these bytes unescaped; the rest is %XX.
std::string escapeBusAddressValue(const std::string &value)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : value) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')
                || (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '/' || c == '.'
                || c == '\\' || c == '*';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        }
    }
    return out;
}

// This thread's file system identity as another user's while it lives; nothing when the caller
// is not root. Per thread on Linux: the other agent's thread keeps root's.
class FileSystemIdentity
{
public:
    FileSystemIdentity(uid_t uid, gid_t gid) : m_switched(::geteuid() == 0 && uid != 0)
    {
        if (!m_switched)
            return;
        m_previousGid = static_cast<gid_t>(::setfsgid(gid));
        m_previousUid = static_cast<uid_t>(::setfsuid(uid));
    }
    ~FileSystemIdentity()
    {
        if (!m_switched)
            return;
        ::setfsuid(m_previousUid);
        ::setfsgid(m_previousGid);
    }
    FileSystemIdentity(const FileSystemIdentity &) = delete;
    FileSystemIdentity &operator=(const FileSystemIdentity &) = delete;

private:
    bool m_switched;
    uid_t m_previousUid = 0;
    gid_t m_previousGid = 0;
};

const std::string *findEntry(const std::vector<std::string> &entries, const std::string &name)
{
    const std::string prefix = name + "=";
    for (const std::string &entry : entries) {
        if (entry.compare(0, prefix.size(), prefix) == 0 && entry.size() > prefix.size())
            return &entry;
    }
    return nullptr;
}

bool namesDisplay(const std::vector<std::string> &entries)
{
    return findEntry(entries, "DISPLAY") || findEntry(entries, "WAYLAND_DISPLAY");
}

bool isRegularFile(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where display managers and compositors keep the X authority file of a session: GDM's X11
// sessions, the Xwayland of GNOME and KDE (a random suffix), startx and LightDM in the home.
std::string findXauthority(const std::string &runtimeDir, const std::string &home)
{
    if (isRegularFile(runtimeDir + "/gdm/Xauthority"))
        return runtimeDir + "/gdm/Xauthority";
    std::vector<std::string> names;
    if (const Released<DIR, ::closedir> dir{::opendir(runtimeDir.c_str())}) {
        while (const dirent *entry = ::readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name.rfind(".mutter-Xwaylandauth.", 0) == 0 || name.rfind("xauth_", 0) == 0)
                names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (isRegularFile(runtimeDir + "/" + name))
            return runtimeDir + "/" + name;
    }
    if (!home.empty() && isRegularFile(home + "/.Xauthority"))
        return home + "/.Xauthority";
    return {};
}

} // namespace

int lookUpAccount(uid_t uid, UserAccount *account)
{
    const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (rc != 0)
        return rc;
    if (!found)
        return ENOENT;
    account->uid = entry.pw_uid;
    account->gid = entry.pw_gid;
    account->name = entry.pw_name ? entry.pw_name : "";
    account->home = entry.pw_dir ? entry.pw_dir : "";
    account->shell = entry.pw_shell ? entry.pw_shell : "";
    return 0;
}

std::vector<gid_t> supplementaryGroups(const UserAccount &account)
{
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(account.name.c_str(), account.gid, groups.data(), &count) < 0) {
        const size_t wanted = std::max(static_cast<size_t>(count), groups.size() * 2);
        if (wanted > 1u << 20)
            return {account.gid};
        groups.resize(wanted);
        count = static_cast<int>(wanted);
    }
    groups.resize(static_cast<size_t>(count));
    return groups;
}

bool readProcessEnvironment(long long pid, uid_t uid, gid_t gid, std::vector<std::string> *entries)
{
    // An environment block is at most a few hundred KiB (ARG_MAX with the arguments).
    constexpr size_t kBound = 4u << 20;
    std::string block;
    {
        const FileSystemIdentity identity(uid, gid);
        if (!readProcessEntry(pid, "environ", kBound, &block))
            return false;
    }
    entries->clear();
    size_t start = 0;
    while (start < block.size()) {
        size_t end = block.find('\0', start);
        if (end == std::string::npos)
            end = block.size();
        if (end > start)
            entries->push_back(block.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::vector<std::string> sessionProcessEnvironment(const LogindSession &session,
                                                   const UserAccount &account, long long *pid)
{
    for (const long long candidate : listProcesses()) {
        uid_t owner = 0;
        if (!processOwner(candidate, &owner) || owner != session.uid)
            continue;
        char *raw = nullptr;
        if (::sd_pid_get_session(static_cast<pid_t>(candidate), &raw) < 0)
            continue;
        const Freed<char> id(raw);
        if (session.id != id.get())
            continue;
        std::vector<std::string> entries;
        if (readProcessEnvironment(candidate, account.uid, account.gid, &entries)
            && namesDisplay(entries)) {
            if (pid)
                *pid = candidate;
            return entries;
        }
    }
    return {};
}

std::vector<std::string> buildDisplayEnvironment(const UserAccount &account,
                                                 const LogindSession &session,
                                                 const std::string &runtimeDir,
                                                 const std::vector<std::string> &sessionEnvironment)
{
    std::vector<std::string> environment;
    // The session's own value, else the derived one, else nothing.
    auto add = [&](const char *name, const std::string &derived) {
        if (const std::string *own = findEntry(sessionEnvironment, name))
            environment.push_back(*own);
        else if (!derived.empty())
            environment.push_back(std::string(name) + "=" + derived);
    };
    environment.push_back("XDG_RUNTIME_DIR=" + runtimeDir);

    const std::string bus = runtimeDir + "/bus";
    add("DBUS_SESSION_BUS_ADDRESS",
        isSocket(bus) ? "unix:path=" + escapeBusAddressValue(bus) : std::string());

    // A Wayland session may run Xwayland too; its display lets X-only programs show.
    add("DISPLAY", session.display);

    // The compositor's socket has no logind field: take the lowest of the names that
    // libwayland hands out automatically (wayland-0 for the usual desktops).
    std::string wayland;
    if (session.type == "wayland") {
        for (int n = 0; n < 32 && wayland.empty(); ++n) {
            const std::string name = "wayland-" + std::to_string(n);
            if (isSocket(runtimeDir + "/" + name))
                wayland = name;
        }
    }
    add("WAYLAND_DISPLAY", wayland);

    // Only an X display asks for its authority file.
    const bool x11 = findEntry(environment, "DISPLAY") != nullptr;
    add("XAUTHORITY", x11 ? findXauthority(runtimeDir, account.home) : std::string());

    if (!session.type.empty())
        environment.push_back("XDG_SESSION_TYPE=" + session.type);
    // The user's manager knows the user's language better than this service does.
    add("LANG", std::string());
    return environment;
}

std::vector<std::string> buildUserEnvironment(const UserAccount &account,
                                              const LogindSession &session,
                                              const std::string &runtimeDir,
                                              const std::vector<std::string> &sessionEnvironment)
{
    std::vector<std::string> environment;
    environment.push_back("HOME=" + (account.home.empty() ? std::string("/") : account.home));
    environment.push_back("USER=" + account.name);
    environment.push_back("LOGNAME=" + account.name);
    environment.push_back("SHELL="
                          + (account.shell.empty() ? std::string("/bin/sh") : account.shell));
    environment.push_back(std::string("PATH=") + (account.uid == 0 ? kRootPath : kUserPath));
    for (std::string &entry :
         buildDisplayEnvironment(account, session, runtimeDir, sessionEnvironment))
        environment.push_back(std::move(entry));
    // Started here, nobody else gives it one: the system's language, which this service got.
    const char *lang = std::getenv("LANG");
    if (lang && *lang && !findEntry(environment, "LANG"))
        environment.push_back(std::string("LANG=") + lang);
    return environment;
}

} // namespace sessionlauncher
