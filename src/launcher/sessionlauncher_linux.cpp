#include "launcher/sessionlauncher_linux.h"

#include "base/descriptor_posix.h"
#include "base/exectexts.h"
#include "base/procfs_linux.h"
#include "base/released.h"
#include "base/servicelog.h"

#include <systemd/sd-login.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

extern char **environ;

namespace sessionlauncher {

namespace {

// login.defs' ENV_PATH and ENV_SUPATH on Debian: what a fresh login of that user gets.
const char *const kUserPath = "/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games";
const char *const kRootPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::string sessionText(int (*query)(const char *, char **), const char *session)
{
    char *raw = nullptr;
    if (query(session, &raw) < 0)
        return {};
    const Freed<char> text(raw);
    return text ? std::string(text.get()) : std::string();
}

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

// 0, or the error of the look-up (ENOENT when the uid has no account).
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

// What initgroups would install; looked up here because the child may not touch NSS.
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
        return graphical && ordinary && session.sessionClass == "user" ? &session : nullptr;
    }
    return nullptr;
}

namespace {

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

namespace {

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

namespace {

bool finishLaunch(const SpawnResult &spawned, ProcessIdentity *launched)
{
    if (spawned.dropped)
        writeServiceLog("launchGUIApplication setuid enter");
    if (!spawned.started)
        writeServiceLog(std::string("launchGUIApplication ") + spawned.failedStep
                           + " result:" + std::to_string(spawned.error));
    if (launched)
        *launched = spawned.started ? ProcessIdentity{spawned.pid, spawned.startTime}
                                    : ProcessIdentity{};
    return spawned.started;
}

bool refuseNulBytes(const std::string &program, const std::vector<std::string> &arguments)
{
    // exec would cut the text at the NUL and run something else than was asked.
    if (!holdsNulByte(program, arguments))
        return false;
    writeServiceLog("launchGUIApplication command contains a NUL byte");
    return true;
}

} // namespace

bool launchInUserSession(const std::vector<LogindSession> &sessions, const std::string &program,
                         const std::vector<std::string> &arguments, ProcessIdentity *launched,
                         UnitStarter startUnit)
{
    if (refuseNulBytes(program, arguments))
        return false;

    const LogindSession *session = chooseSession(sessions, readUidMin());
    if (!session) {
        writeServiceLog("launchGUIApplication no active session");
        return false;
    }

    UserAccount account;
    if (const int error = lookUpAccount(session->uid, &account)) {
        writeServiceLog("launchGUIApplication getpwuid_r result:" + std::to_string(error));
        return false;
    }
    writeServiceLog("launchGUIApplication session:" + session->id
                       + " uid:" + std::to_string(account.uid) + " enter");

    long long source = 0;
    const std::vector<std::string> sessionEnvironment =
            sessionProcessEnvironment(*session, account, &source);
    if (source != 0)
        writeServiceLog("launchGUIApplication environ pid:" + std::to_string(source) + " enter");
    const std::string runtimeDir = "/run/user/" + std::to_string(account.uid);

    // The user's own manager runs the player in the user's session, outside this service's
    // sandbox and cgroup, with the environment the desktop gave that manager.
    const usermanager::UnitResult unit = startUnit(
            account.uid,
            {program, arguments,
             buildDisplayEnvironment(account, *session, runtimeDir, sessionEnvironment)},
            usermanager::kDefaultTimeout);
    if (unit.outcome == usermanager::UnitOutcome::Started) {
        if (launched)
            *launched = {unit.pid, unit.pid != 0 ? processStartTime(unit.pid) : 0};
        return true;
    }
    if (!unit.canFallBack()) {
        // The manager may still start it: a second start could show the player twice.
        if (launched)
            *launched = ProcessIdentity{};
        return false;
    }

    Credentials credentials;
    credentials.uid = account.uid;
    credentials.gid = account.gid;
    credentials.groups = supplementaryGroups(account);
    const std::vector<std::string> environment =
            buildUserEnvironment(account, *session, runtimeDir, sessionEnvironment);
    return finishLaunch(spawnDetached(program, arguments, &environment, &credentials),
                        launched);
}

} // namespace sessionlauncher

bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          ProcessIdentity *launched)
{
    using namespace sessionlauncher;
    // An ordinary user running the service already is the desktop user.
    if (::geteuid() != 0) {
        if (refuseNulBytes(program, arguments))
            return false;
        return finishLaunch(spawnDetached(program, arguments, nullptr, nullptr), launched);
    }
    return launchInUserSession(listLogindSessions(), program, arguments, launched);
}
