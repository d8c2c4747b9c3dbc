#include "launchertestsupport.h"
#include "launcher/sessionlauncher.h"
#include "launcher/sessionlauncher_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QRegularExpression>

#include <linux/capability.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

using namespace launchertest;
using namespace sessionlauncher;

namespace {

LogindSession session(const std::string &id, bool active, bool hasUser, uid_t uid,
                      const std::string &sessionClass = "user", const std::string &type = "x11",
                      const std::string &display = "", const std::string &seat = "seat0",
                      const char *state = nullptr)
{
    LogindSession s;
    s.id = id;
    s.active = active;
    s.state = state ? state : active ? "active" : "online";
    s.hasUser = hasUser;
    s.uid = uid;
    s.seat = seat;
    s.sessionClass = sessionClass;
    s.type = type;
    s.display = display;
    return s;
}

// User nobody, for starting programs as another user; null, with the reason, when this run
// cannot.
const struct passwd *otherUser(const char **why)
{
    *why = "only root can start a program as another user";
    if (::geteuid() != 0)
        return nullptr;
    *why = "no user nobody";
    return ::getpwnam("nobody");
}

// LANG as a test wants it while it lives.
class ScopedLang
{
public:
    explicit ScopedLang(const char *value) : m_had(qEnvironmentVariableIsSet("LANG")), m_old(qgetenv("LANG"))
    {
        qputenv("LANG", value);
    }
    ~ScopedLang()
    {
        if (m_had)
            qputenv("LANG", m_old);
        else
            qunsetenv("LANG");
    }

private:
    bool m_had;
    QByteArray m_old;
};

// The user manager as the launcher meets it: what it was asked, and what it answers.
std::vector<std::pair<uid_t, usermanager::UnitRequest>> g_unitCalls;
usermanager::UnitResult g_unitAnswer;

usermanager::UnitResult fakeUnitStart(uid_t uid, const usermanager::UnitRequest &request,
                                      std::chrono::milliseconds)
{
    g_unitCalls.emplace_back(uid, request);
    return g_unitAnswer;
}

usermanager::UnitResult unreachable()
{
    usermanager::UnitResult result;
    result.outcome = usermanager::UnitOutcome::Unreachable;
    return result;
}

// A listening-free Unix socket file at path, as a bus or a compositor leaves one.
void makeSocket(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray bytes = QFile::encodeName(path);
    ASSERT_LT(static_cast<size_t>(bytes.size()), sizeof address.sun_path);
    std::memcpy(address.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
}

void makeFile(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

// The started program's standard streams and descriptors, as its record tells them.
void expectDetached(const PlayerRecord &record)
{
    EXPECT_EQ(record.fields.value("stdin"), "/dev/null");
    EXPECT_EQ(record.fields.value("stdout"), "/dev/null");
    EXPECT_EQ(record.fields.value("stderr"), "/dev/null");
    EXPECT_EQ(record.fields.value("leaked"), "no");
    EXPECT_EQ(record.fields.value("sigblk"), "0000000000000000");
    EXPECT_EQ(record.fields.value("sigign"), "0000000000000000");
    EXPECT_NE(record.fields.value("sid"), QString::number(::getsid(0)));
}

} // namespace

TEST(SessionLauncherAsUser, StartsTheProgramDetachedAndReportsItsPid)
{
    if (::geteuid() == 0) {
        runCurrentTestAsNobody();
        return;
    }
    FakePlayer player;
    StrayDescriptor stray;
    OddSignals oddSignals;
    clearLauncherLog();
    qputenv("MIRVALE_LAUNCHER_MARK", "kept");

    const std::vector<std::string> arguments{"--fullscreen", "two words", "", "Ünïcödé"};
    ProcessIdentity launched;
    ASSERT_TRUE(launchGUIApplication(player.program(), arguments, &launched));
    const PlayerRecord record = player.waitForRecord();
    ASSERT_TRUE(record.present);

    EXPECT_GT(launched.pid, 0);
    EXPECT_EQ(record.fields.value("pid"), QString::number(launched.pid));
    EXPECT_EQ(record.fields.value("uid"), QString::number(::getuid()));
    EXPECT_EQ(record.arguments, toQStringList(arguments));
    EXPECT_TRUE(record.environment.contains("MIRVALE_LAUNCHER_MARK=kept"));
    expectDetached(record);
    EXPECT_EQ(launcherLog(), QStringList());
}

TEST(SessionLauncherAsUser, FailedStartGivesFalse)
{
    if (::geteuid() == 0) {
        runCurrentTestAsNobody();
        return;
    }
    FakePlayer player;
    QTemporaryDir dir;
    const QString notExecutable = dir.path() + "/plain";
    makeFile(notExecutable);

    struct Row {
        std::string program;
        long long pid; // after the call, which starts with 77
        QString entry;
    };
    const Row rows[] = {
        {(dir.path() + "/missing").toStdString(), 0, "launchGUIApplication execve result:2"},
        {"", 0, "launchGUIApplication execve result:2"},
        {notExecutable.toStdString(), 0, "launchGUIApplication execve result:13"},
        {dir.path().toStdString(), 0, "launchGUIApplication execve result:13"},
        // Refused before any process is made.
        {player.program() + std::string("\0x", 2), 77,
         "launchGUIApplication command contains a NUL byte"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.entry.toStdString() + " " + row.program);
        clearLauncherLog();
        ProcessIdentity launched{77, 0};
        EXPECT_FALSE(launchGUIApplication(row.program, {"--fullscreen"}, &launched));
        EXPECT_EQ(launched.pid, row.pid);
        EXPECT_EQ(launcherLog(), QStringList{row.entry});
    }
    clearLauncherLog();
    ProcessIdentity launched{77, 0};
    EXPECT_FALSE(launchGUIApplication(player.program(), {std::string("a\0b", 3)}, &launched));
    EXPECT_EQ(launched.pid, 77);
    EXPECT_FALSE(player.record().present);
}

TEST(SessionChoice, TakesTheGraphicalSessionSeat0ShowsOfAnOrdinaryUser)
{
    struct Row {
        const char *name;
        std::vector<LogindSession> sessions;
        std::string chosen; // empty: none
        uid_t uidMin = 1000;
    };
    const Row rows[] = {
        {"empty", {}, ""},
        {"nothing active",
         {session("1", false, true, 1000), session("2", false, true, 1001)},
         ""},
        {"active without a user, greeter and lock screen",
         {session("1", true, false, 0), session("2", true, true, 110, "greeter"),
          session("3", true, true, 1000, "lock-screen"),
          session("4", true, true, 1000, "background")},
         ""},
        {"inactive first, active later",
         {session("c1", false, true, 1000), session("c2", true, true, 1001),
          session("c3", true, true, 1002)},
         "c2"},
        {"first listed wins over lower ids",
         {session("9", true, true, 1001), session("2", true, true, 1000)},
         "9"},
        {"ssh only", {session("s1", true, true, 1000, "user", "tty", "", "")}, ""},
        {"ssh listed before the desktop",
         {session("s1", true, true, 1000, "user", "tty", "", ""),
          session("x2", true, true, 1001, "user", "x11", ":0")},
         "x2"},
        {"ssh with a forwarded display",
         {session("s1", true, true, 1000, "user", "x11", "localhost:10.0", "")}, ""},
        {"wayland", {session("w1", true, true, 1000, "user", "wayland")}, "w1"},
        {"its leader ended: closing, yet still the one seat0 shows",
         {session("x1", true, true, 1000, "user", "x11", ":0", "seat0", "closing")}, ""},
        {"a text console on seat0", {session("t1", true, true, 1000, "user", "tty")}, ""},
        {"another seat", {session("a1", true, true, 1000, "user", "x11", ":1", "seat1")}, ""},
        {"root's desktop", {session("r1", true, true, 0, "user", "x11", ":0")}, ""},
        {"root even below a UID_MIN of 0", {session("r1", true, true, 0)}, "", 0},
        {"a system account", {session("d1", true, true, 999)}, ""},
        {"the same account under a lower UID_MIN", {session("d1", true, true, 999)}, "d1", 500},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const LogindSession *chosen = chooseSession(row.sessions, row.uidMin);
        EXPECT_EQ(chosen ? chosen->id : std::string(), row.chosen);
    }
}

TEST(SessionChoice, ReadsUidMinFromLoginDefs)
{
    QTemporaryDir dir;
    struct Row {
        const char *text; // null: no file
        uid_t uidMin;
    };
    const Row rows[] = {
        {nullptr, 1000},
        {"UID_MIN 500\n", 500},
        {"# UID_MIN 10\nUID_MAX 60000\nUID_MIN\t\t 2000\n", 2000},
        {"UID_MIN\n", 1000},
        {"UID_MIN abc\n", 1000},
        {"UID_MIN -5\n", 1000},
        {"UID_MINIMUM 5\n", 1000},
    };
    int n = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text ? row.text : "no file");
        const QString path = dir.filePath(QString::number(++n));
        if (row.text) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(row.text);
        }
        EXPECT_EQ(readUidMin(path.toStdString()), row.uidMin);
    }
}

TEST(SessionLauncherAsRoot, NoSessionOrNoAccountFailsBeforeStarting)
{
    FakePlayer player;
    struct Row {
        std::vector<LogindSession> sessions;
        QString entry;
    };
    const Row rows[] = {
        {{}, "launchGUIApplication no active session"},
        {{session("1", false, true, 1000), session("2", true, true, 110, "greeter")},
         "launchGUIApplication no active session"},
        // A uid that no account has.
        {{session("5", true, true, 2147480000u)}, "launchGUIApplication getpwuid_r result:2"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.entry.toStdString());
        clearLauncherLog();
        ProcessIdentity launched{77, 0};
        EXPECT_FALSE(launchInUserSession(row.sessions, player.program(), {}, &launched));
        EXPECT_EQ(launched.pid, 77);
        EXPECT_EQ(launcherLog(), QStringList{row.entry});
    }
    EXPECT_FALSE(player.record().present);
}

TEST(SessionLauncherAsRoot, StartsTheProgramAsTheSessionUser)
{
    const char *why = nullptr;
    const struct passwd *nobody = otherUser(&why);
    if (!nobody)
        GTEST_SKIP() << why;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const QString home = QString::fromLocal8Bit(nobody->pw_dir);
    const QString shell = QString::fromLocal8Bit(nobody->pw_shell);
    const QString runtimeDir = "/run/user/" + QString::number(uid);
    if (QFileInfo::exists(runtimeDir + "/bus"))
        GTEST_SKIP() << "nobody has a session bus here";

    const std::vector<LogindSession> sessions{
        session("c1", false, true, 1000),
        session("c7", true, true, uid, "user", "x11", ":7"),
    };
    FakePlayer player;
    StrayDescriptor stray;
    OddSignals oddSignals;
    clearLauncherLog();

    const ScopedLang lang("C.UTF-8");
    g_unitAnswer = unreachable();

    const std::vector<std::string> arguments{"--fullscreen", "two words"};
    ProcessIdentity launched;
    ASSERT_TRUE(launchInUserSession(sessions, player.program(), arguments, &launched,
                                    &fakeUnitStart));
    const PlayerRecord record = player.waitForRecord();
    ASSERT_TRUE(record.present);

    EXPECT_EQ(record.fields.value("pid"), QString::number(launched.pid));
    EXPECT_EQ(record.fields.value("uid"), QString::number(uid));
    EXPECT_EQ(record.fields.value("gid"), QString::number(gid));
    EXPECT_EQ(record.fields.value("groups"), QString::number(gid));
    EXPECT_EQ(record.arguments, toQStringList(arguments));
    QStringList environment = record.environment;
    environment.sort();
    QStringList expected{"HOME=" + home,
                         "USER=nobody",
                         "LOGNAME=nobody",
                         "SHELL=" + shell,
                         "PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games",
                         "XDG_RUNTIME_DIR=" + runtimeDir,
                         "DISPLAY=:7",
                         "XDG_SESSION_TYPE=x11",
                         "LANG=C.UTF-8"};
    expected.sort();
    EXPECT_EQ(environment, expected);
    expectDetached(record);
    EXPECT_EQ(launcherLog(),
              (QStringList{"launchGUIApplication session:c7 uid:" + QString::number(uid) + " enter",
                           "launchGUIApplication setuid enter"}));

    // A program that cannot run still reports each stage, then the failed call.
    clearLauncherLog();
    launched = {77, 0};
    EXPECT_FALSE(launchInUserSession(sessions, player.program() + ".missing", {}, &launched,
                                     &fakeUnitStart));
    EXPECT_EQ(launched.pid, 0);
    EXPECT_EQ(launcherLog(),
              (QStringList{"launchGUIApplication session:c7 uid:" + QString::number(uid) + " enter",
                           "launchGUIApplication setuid enter",
                           "launchGUIApplication execve result:2"}));
}

TEST(SpawnDetached, AFailedIdentityChangeNeverRunsTheProgram)
{
    FakePlayer player;
    struct Row {
        const char *name;
        Credentials credentials;
        const char *failedStep;
    };
    std::vector<Row> rows;
    if (::geteuid() == 0) {
        rows.push_back({"uid that cannot be taken after the gid was",
                        {static_cast<uid_t>(-1), 65534, {}},
                        "setuid"});
        rows.push_back({"more groups than the kernel takes",
                        {65534, 65534, std::vector<gid_t>(70000, 65534)},
                        "setgroups"});
    } else {
        rows.push_back({"ordinary user asking for root", {0, 0, {0}}, "setgroups"});
    }
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const SpawnResult result = spawnDetached(player.program(), {}, nullptr, &row.credentials);
        EXPECT_FALSE(result.started);
        EXPECT_FALSE(result.dropped);
        EXPECT_EQ(result.pid, 0);
        ASSERT_NE(result.failedStep, nullptr);
        EXPECT_STREQ(result.failedStep, row.failedStep);
        EXPECT_NE(result.error, 0);
    }
    // The child reports the failure just before it exits without exec.
    EXPECT_FALSE(player.record().present);
}

// Read from the live program before the call returns, so that a later stop can tell it from
// whatever takes its id once it has ended.
TEST(SpawnDetached, ReportsTheStartTimeOfTheStartedProgram)
{
    const SpawnResult result = spawnDetached("/bin/sleep", {"30"}, nullptr, nullptr);
    ASSERT_TRUE(result.started);
    EXPECT_GT(result.startTime, 0);
    EXPECT_EQ(result.startTime, processStartTime(result.pid));
    ::kill(static_cast<pid_t>(result.pid), SIGKILL);
}

TEST(UserEnvironment, NamesTheSessionsDisplayBusAndCompositor)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const ScopedLang lang("de_DE.UTF-8");

    UserAccount user;
    user.uid = 1000;
    user.gid = 1000;
    user.name = "anna";
    user.home = "/home/anna";
    user.shell = "/bin/bash";
    UserAccount withHome = user;
    withHome.home = (root.path() + "/home").toStdString();
    UserAccount bare;
    bare.name = "root";

    struct Row {
        const char *name;
        UserAccount account;
        LogindSession session;
        QStringList sockets; // made in the runtime folder
        QStringList files;   // plain files there
        QString runtimeName;
        std::vector<std::string> sessionEnvironment;
        QStringList tail;    // after HOME, USER, LOGNAME, SHELL, PATH, XDG_RUNTIME_DIR
    };
    const Row rows[] = {
        {"x11 with a bus and GDM's authority file", user,
         session("1", true, true, 1000, "user", "x11", ":0"), {"bus"}, {"gdm/Xauthority"}, "x11", {},
         {"DBUS_SESSION_BUS_ADDRESS=unix:path=<dir>/bus", "DISPLAY=:0",
          "XAUTHORITY=<dir>/gdm/Xauthority", "XDG_SESSION_TYPE=x11", "LANG=de_DE.UTF-8"}},
        {"wayland on its second socket, with Xwayland", user,
         session("2", true, true, 1000, "user", "wayland", ":1"), {"wayland-1"},
         {"wayland-0.lock", ".mutter-Xwaylandauth.Q1W2E3"}, "wayland", {},
         {"DISPLAY=:1", "WAYLAND_DISPLAY=wayland-1", "XAUTHORITY=<dir>/.mutter-Xwaylandauth.Q1W2E3",
          "XDG_SESSION_TYPE=wayland", "LANG=de_DE.UTF-8"}},
        {"wayland without a compositor socket", user,
         session("3", true, true, 1000, "user", "wayland"), {}, {"wayland-0", "bus", "xauth_x"},
         "nosocket", {}, {"XDG_SESSION_TYPE=wayland", "LANG=de_DE.UTF-8"}},
        {"bus path that needs escaping", user, session("4", true, true, 1000, "user", "tty"),
         {"bus"}, {}, "run time", {},
         {"DBUS_SESSION_BUS_ADDRESS=unix:path=<escaped>/bus", "XDG_SESSION_TYPE=tty",
          "LANG=de_DE.UTF-8"}},
        {"the authority file in the home", withHome,
         session("5", true, true, 1000, "user", "x11", ":0"), {}, {"../home/.Xauthority"}, "xhome", {},
         {"DISPLAY=:0", "XAUTHORITY=" + QString::fromStdString(withHome.home) + "/.Xauthority",
          "XDG_SESSION_TYPE=x11", "LANG=de_DE.UTF-8"}},
        {"the session's own values win", user, session("6", true, true, 1000, "user", "x11", ":0"),
         {"bus"}, {"gdm/Xauthority"}, "own",
         {"PATH=/x", "DISPLAY=:3", "XAUTHORITY=/tmp/own", "LANG=fr_FR.UTF-8",
          "DBUS_SESSION_BUS_ADDRESS=unix:abstract=/tmp/dbus-x", "XDG_SESSION_TYPE=wayland",
          "XDG_RUNTIME_DIR=/elsewhere", "WAYLAND_DISPLAY="},
         {"DBUS_SESSION_BUS_ADDRESS=unix:abstract=/tmp/dbus-x", "DISPLAY=:3",
          "XAUTHORITY=/tmp/own", "XDG_SESSION_TYPE=x11", "LANG=fr_FR.UTF-8"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString dir = root.path() + "/" + row.runtimeName;
        ASSERT_TRUE(QDir().mkpath(dir));
        for (const QString &name : row.sockets)
            makeSocket(dir + "/" + name);
        for (const QString &name : row.files) {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(dir + "/" + name).path()));
            makeFile(dir + "/" + name);
        }

        QStringList expected{"HOME=" + QString::fromStdString(row.account.home), "USER=anna",
                             "LOGNAME=anna", "SHELL=/bin/bash",
                             "PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games",
                             "XDG_RUNTIME_DIR=" + dir};
        QString escaped = dir;
        escaped.replace(" ", "%20");
        for (QString entry : row.tail)
            expected << entry.replace("<dir>", dir).replace("<escaped>", escaped);
        EXPECT_EQ(toQStringList(buildUserEnvironment(row.account, row.session, dir.toStdString(),
                                                     row.sessionEnvironment)),
                  expected);
        // The user manager's unit gets the display part alone, and the user's own language.
        QStringList display = expected.mid(5);
        display.removeAll("LANG=de_DE.UTF-8");
        EXPECT_EQ(toQStringList(buildDisplayEnvironment(row.account, row.session, dir.toStdString(),
                                                        row.sessionEnvironment)),
                  display);
    }

    // An account without home or shell gets what login would give it.
    EXPECT_EQ(toQStringList(buildUserEnvironment(bare, session("5", true, true, 0, "user", "tty"),
                                                 "/nonexistent/run")),
              (QStringList{"HOME=/", "USER=root", "LOGNAME=root", "SHELL=/bin/sh",
                           "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                           "XDG_RUNTIME_DIR=/nonexistent/run", "XDG_SESSION_TYPE=tty",
                           "LANG=de_DE.UTF-8"}));
}

// The user's manager first; the start here only when that manager could not take the call.
TEST(SessionLauncherAsRoot, TheUserManagerStartsThePlayerFirst)
{
    const char *why = nullptr;
    const struct passwd *nobody = otherUser(&why);
    if (!nobody)
        GTEST_SKIP() << why;
    const uid_t uid = nobody->pw_uid;
    const std::vector<LogindSession> sessions{session("c7", true, true, uid, "user", "x11", ":7")};
    const QString enter = "launchGUIApplication session:c7 uid:" + QString::number(uid) + " enter";
    const SpawnResult running = spawnDetached("/bin/sleep", {"30"}, nullptr, nullptr);
    ASSERT_TRUE(running.started);

    using usermanager::UnitOutcome;
    struct Row {
        const char *name;
        UnitOutcome outcome;
        long long pid;
        bool started;
        bool fellBack;
    };
    const Row rows[] = {
        {"started, its main pid recorded", UnitOutcome::Started, running.pid, true, false},
        {"started and ended already", UnitOutcome::Started, 0, true, false},
        {"no manager", UnitOutcome::Unreachable, 0, true, true},
        {"refused", UnitOutcome::Refused, 0, true, true},
        {"the job failed", UnitOutcome::Failed, 0, true, true},
        {"timed out: no second start", UnitOutcome::TimedOut, 0, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        FakePlayer player;
        clearLauncherLog();
        g_unitCalls.clear();
        g_unitAnswer = usermanager::UnitResult();
        g_unitAnswer.outcome = row.outcome;
        g_unitAnswer.pid = row.pid;

        ProcessIdentity launched{77, 7};
        EXPECT_EQ(launchInUserSession(sessions, player.program(), {"--fullscreen"}, &launched,
                                      &fakeUnitStart),
                  row.started);
        ASSERT_EQ(g_unitCalls.size(), 1u);
        EXPECT_EQ(g_unitCalls[0].first, uid);
        const usermanager::UnitRequest &request = g_unitCalls[0].second;
        EXPECT_EQ(request.program, player.program());
        EXPECT_EQ(request.arguments, std::vector<std::string>{"--fullscreen"});
        const QStringList environment = toQStringList(request.environment);
        EXPECT_TRUE(environment.contains("DISPLAY=:7")) << environment.join(' ').toStdString();
        EXPECT_TRUE(environment.contains("XDG_SESSION_TYPE=x11"));
        EXPECT_FALSE(environment.filter(QRegularExpression("^(HOME|PATH)=")).size());

        if (row.fellBack) {
            const PlayerRecord record = player.waitForRecord();
            ASSERT_TRUE(record.present);
            EXPECT_EQ(record.fields.value("uid"), QString::number(uid));
            EXPECT_EQ(launched.pid, record.pid);
            EXPECT_EQ(launcherLog(), (QStringList{enter, "launchGUIApplication setuid enter"}));
            continue;
        }
        const ProcessIdentity expected{row.pid, row.pid ? running.startTime : 0};
        EXPECT_EQ(launched.pid, expected.pid);
        EXPECT_EQ(launched.startTime, expected.startTime);
        EXPECT_EQ(launcherLog(), QStringList{enter});
        EXPECT_FALSE(player.record().present);
    }
    ::kill(static_cast<pid_t>(running.pid), SIGKILL);
}

// The unit's capability bounding set leaves out CAP_SYS_PTRACE, without which the kernel's ptrace
// rule keeps root from another user's environment: the read borrows that user's file system
// identity instead, and gives it back.
TEST(SessionLauncherAsRoot, ReadsAUsersEnvironmentWithoutPtraceRights)
{
    const char *why = nullptr;
    const struct passwd *nobody = otherUser(&why);
    if (!nobody)
        GTEST_SKIP() << why;
    const Credentials credentials{nobody->pw_uid, nobody->pw_gid, {nobody->pw_gid}};
    const std::vector<std::string> environment{"DISPLAY=:5", "XAUTHORITY=/tmp/a b", "EMPTY="};
    const SpawnResult spawned = spawnDetached("/bin/sleep", {"30"}, &environment, &credentials);
    ASSERT_TRUE(spawned.started);

    std::thread reader([&] {
        // This thread alone loses the right that would open it anyway.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
        data[CAP_SYS_PTRACE / 32].effective &= ~(1u << (CAP_SYS_PTRACE % 32));
        ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);

        std::vector<std::string> entries;
        EXPECT_TRUE(readProcessEnvironment(spawned.pid, nobody->pw_uid, nobody->pw_gid, &entries));
        EXPECT_EQ(entries, environment);
        EXPECT_EQ(::setfsuid(static_cast<uid_t>(-1)), 0) << "the file system identity stays borrowed";
        EXPECT_EQ(::setfsgid(static_cast<gid_t>(-1)), 0);
        EXPECT_FALSE(readProcessEnvironment(2147480000LL, nobody->pw_uid, nobody->pw_gid, &entries));
    });
    reader.join();
    ::kill(static_cast<pid_t>(spawned.pid), SIGKILL);
}
