#include "launchertestsupport.h"
#include "launcher/sessionlauncher.h"
#include "launcher/sessionlauncher_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace launchertest;
using namespace sessionlauncher;

namespace {

LogindSession session(const std::string &id, bool active, bool hasUser, uid_t uid,
                      const std::string &sessionClass = "user", const std::string &type = "x11",
                      const std::string &display = "")
{
    LogindSession s;
    s.id = id;
    s.active = active;
    s.hasUser = hasUser;
    s.uid = uid;
    s.sessionClass = sessionClass;
    s.type = type;
    s.display = display;
    return s;
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
    ASSERT_TRUE(launchGUIApplication(player.program(), arguments, &launched, &recordLauncherLog));
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
        EXPECT_FALSE(launchGUIApplication(row.program, {"--fullscreen"}, &launched, &recordLauncherLog));
        EXPECT_EQ(launched.pid, row.pid);
        EXPECT_EQ(launcherLog(), QStringList{row.entry});
    }
    clearLauncherLog();
    ProcessIdentity launched{77, 0};
    EXPECT_FALSE(launchGUIApplication(player.program(), {std::string("a\0b", 3)}, &launched,
                                      &recordLauncherLog));
    EXPECT_EQ(launched.pid, 77);
    EXPECT_FALSE(player.record().present);
}

TEST(SessionChoice, TakesTheFirstActiveUserSessionInListOrder)
{
    struct Row {
        const char *name;
        std::vector<LogindSession> sessions;
        std::string chosen; // empty: none
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
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const LogindSession *chosen = chooseSession(row.sessions);
        EXPECT_EQ(chosen ? chosen->id : std::string(), row.chosen);
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
        EXPECT_FALSE(launchInUserSession(row.sessions, player.program(), {}, &launched,
                                         &recordLauncherLog));
        EXPECT_EQ(launched.pid, 77);
        EXPECT_EQ(launcherLog(), QStringList{row.entry});
    }
    EXPECT_FALSE(player.record().present);
}

TEST(SessionLauncherAsRoot, StartsTheProgramAsTheSessionUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can start a program as another user";
    const struct passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody";
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

    const std::vector<std::string> arguments{"--fullscreen", "two words"};
    ProcessIdentity launched;
    ASSERT_TRUE(launchInUserSession(sessions, player.program(), arguments, &launched,
                                    &recordLauncherLog));
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
                         "DISPLAY=:7"};
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
                                     &recordLauncherLog));
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

    UserAccount user;
    user.uid = 1000;
    user.gid = 1000;
    user.name = "anna";
    user.home = "/home/anna";
    user.shell = "/bin/bash";
    UserAccount bare;
    bare.name = "root";

    struct Row {
        const char *name;
        UserAccount account;
        LogindSession session;
        QStringList sockets; // made in the runtime folder
        QStringList files;   // plain files there
        QString runtimeName;
        QStringList tail;    // after HOME, USER, LOGNAME, SHELL, PATH, XDG_RUNTIME_DIR
    };
    const Row rows[] = {
        {"x11 with a bus", user, session("1", true, true, 1000, "user", "x11", ":0"),
         {"bus"}, {}, "x11",
         {"DBUS_SESSION_BUS_ADDRESS=unix:path=<dir>/bus", "DISPLAY=:0"}},
        {"wayland on its second socket, with Xwayland", user,
         session("2", true, true, 1000, "user", "wayland", ":1"), {"wayland-1"}, {"wayland-0.lock"},
         "wayland", {"DISPLAY=:1", "WAYLAND_DISPLAY=wayland-1"}},
        {"wayland without a compositor socket", user,
         session("3", true, true, 1000, "user", "wayland"), {}, {"wayland-0", "bus"},
         "nosocket", {}},
        {"bus path that needs escaping", user, session("4", true, true, 1000, "user", "tty"),
         {"bus"}, {}, "run time",
         {"DBUS_SESSION_BUS_ADDRESS=unix:path=<escaped>/bus"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString dir = root.path() + "/" + row.runtimeName;
        ASSERT_TRUE(QDir().mkpath(dir));
        for (const QString &name : row.sockets)
            makeSocket(dir + "/" + name);
        for (const QString &name : row.files)
            makeFile(dir + "/" + name);

        QStringList expected{"HOME=/home/anna", "USER=anna", "LOGNAME=anna", "SHELL=/bin/bash",
                             "PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games",
                             "XDG_RUNTIME_DIR=" + dir};
        QString escaped = dir;
        escaped.replace(" ", "%20");
        for (QString entry : row.tail)
            expected << entry.replace("<dir>", dir).replace("<escaped>", escaped);
        EXPECT_EQ(toQStringList(buildUserEnvironment(row.account, row.session, dir.toStdString())),
                  expected);
    }

    // An account without home or shell gets what login would give it.
    EXPECT_EQ(toQStringList(buildUserEnvironment(bare, session("5", true, true, 0, "user", "tty"),
                                                 "/nonexistent/run")),
              (QStringList{"HOME=/", "USER=root", "LOGNAME=root", "SHELL=/bin/sh",
                           "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                           "XDG_RUNTIME_DIR=/nonexistent/run"}));
}
