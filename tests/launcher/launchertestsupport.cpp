#include "launchertestsupport.h"

#include "launcher/launchcallback.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace launchertest {

namespace {

const char kScript[] = R"SH(#!/bin/sh
# Fake player: records how it was started, then publishes the record in one rename.
# The signal state first, with builtins only: the shell changes its mask around children.
while read -r key value; do
    case "$key" in
    SigBlk:) sigblk=$value ;;
    SigIgn:) sigign=$value ;;
    esac
done < /proc/$$/status
dir=$(dirname "$0")
in=$(readlink /proc/$$/fd/0)
out=$(readlink /proc/$$/fd/1)
err=$(readlink /proc/$$/fd/2)
leaked=no
[ -e /proc/$$/fd/47 ] && leaked=yes
tmp="$dir/.record.$$"
{
    echo "pid:$$"
    echo "uid:$(id -u)"
    echo "gid:$(id -g)"
    echo "groups:$(id -G)"
    echo "sid:$(cut -d' ' -f6 /proc/$$/stat)"
    echo "stdin:$in"
    echo "stdout:$out"
    echo "stderr:$err"
    echo "leaked:$leaked"
    echo "sigblk:$sigblk"
    echo "sigign:$sigign"
    for a in "$@"; do printf 'arg:%s\n' "$a"; done
    tr '\0' '\n' < /proc/$$/environ | sed 's/^/env:/'
} > "$tmp" && mv "$tmp" "$dir/record"
)SH";

// Guards the collected texts below; the launcher may log from any thread.
std::mutex g_logMutex;
QStringList g_debugRecords;
QStringList g_serviceEntries;
QStringList g_launcherLog;
QtMessageHandler g_previousHandler = nullptr;
ServiceLogWriter g_previousWriter = nullptr;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_debugRecords << message;
}

void captureServiceEntry(const QString &entry)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_serviceEntries << entry;
}

} // namespace

FakePlayer::FakePlayer()
{
    const QFileDevice::Permissions all = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
    const QFileDevice::Permissions readAndRun =
            all & ~(QFileDevice::WriteGroup | QFileDevice::WriteOther);

    EXPECT_TRUE(m_dir.isValid());
    m_folder = m_dir.path() + "/Video Player";
    EXPECT_TRUE(QDir().mkpath(m_folder));
    QFile::setPermissions(m_dir.path(), readAndRun);
    QFile::setPermissions(m_folder, all);

    QFile script(m_folder + "/player");
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(kScript);
    script.close();
    script.setPermissions(readAndRun);
}

std::string FakePlayer::program() const
{
    return programText().toStdString();
}

QString FakePlayer::programText() const
{
    return m_folder + "/player";
}

Record FakePlayer::waitForRecord() const
{
    const QString path = m_folder + "/record";
    QFileSystemWatcher watcher(QStringList{m_folder});
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
        if (QFileInfo::exists(path))
            loop.quit();
    });
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (!QFileInfo::exists(path)) {
        guard.start(20000);
        loop.exec();
    }
    return record();
}

Record FakePlayer::record() const
{
    Record record;
    QFile file(m_folder + "/record");
    if (!file.open(QIODevice::ReadOnly))
        return record;
    record.present = true;
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    for (const QString &line : lines) {
        const int colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QString key = line.left(colon);
        const QString value = line.mid(colon + 1);
        if (key == "arg")
            record.arguments << value;
        else if (key == "env")
            record.environment << value;
        else
            record.fields.insert(key, value);
    }
    return record;
}

LogCapture::LogCapture()
{
    clearLauncherLog();
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_debugRecords.clear();
    g_serviceEntries.clear();
    g_previousHandler = qInstallMessageHandler(&captureMessage);
    g_previousWriter = setServiceLogWriter(&captureServiceEntry);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previousHandler);
    setServiceLogWriter(g_previousWriter);
}

QStringList LogCapture::debugRecords() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_debugRecords;
}

QStringList LogCapture::serviceEntries() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_serviceEntries;
}

void recordLauncherLog(const std::string &entry)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_launcherLog << QString::fromStdString(entry);
}

QStringList launcherLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_launcherLog;
}

void clearLauncherLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_launcherLog.clear();
}

StrayDescriptor::StrayDescriptor()
{
    EXPECT_EQ(::fcntl(kNumber, F_GETFD), -1) << "descriptor " << kNumber << " is taken";
    const int fd = ::open("/dev/null", O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::dup2(fd, kNumber), kNumber); // dup2 leaves close-on-exec off
    ::close(fd);
}

StrayDescriptor::~StrayDescriptor()
{
    ::close(kNumber);
}

OddSignals::OddSignals()
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &m_previousMask);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGUSR2, &ignore, &m_previousUsr2);
}

OddSignals::~OddSignals()
{
    sigaction(SIGUSR2, &m_previousUsr2, nullptr);
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

namespace {

// Starts path as user nobody with the given arguments and waits for it. Returns the errno
// of a failed identity change or exec, else 0 with *status filled.
int runAsNobody(const char *path, const std::vector<std::string> &arguments, uid_t uid,
                gid_t gid, int *status)
{
    std::vector<char *> argv{const_cast<char *>(path)};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    const pid_t child = ::fork();
    if (child < 0)
        return errno;
    if (child == 0) {
        if (::setgroups(1, &gid) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0)
            ::execv(path, argv.data());
        const int error = errno;
        (void)!::write(fds[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(fds[1]);
    int error = 0;
    ssize_t got;
    while ((got = ::read(fds[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);
    while (::waitpid(child, status, 0) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

} // namespace

void runCurrentTestAsNobody()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    const QString name = QString("%1.%2").arg(info->test_suite_name(), info->name());

    const struct passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user nobody to run the ordinary-user case as";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;

    // Open to nobody: the copy of this executable (when its own folder is closed to
    // nobody) and the nested run's report.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7777));
    const QString report = dir.path() + "/report.json";
    const std::vector<std::string> arguments{
        ("--gtest_filter=" + name).toStdString(),
        ("--gtest_output=json:" + report).toStdString()};

    const QString exe = QFileInfo("/proc/self/exe").canonicalFilePath();
    int status = 0;
    int error = runAsNobody(QFile::encodeName(exe).constData(), arguments, uid, gid, &status);
    if (error == EACCES) {
        const QString copy = dir.path() + "/" + QFileInfo(exe).fileName();
        ASSERT_TRUE(QFile::copy(exe, copy));
        QFile::setPermissions(copy, QFileDevice::Permissions(0x7755));
        error = runAsNobody(QFile::encodeName(copy).constData(), arguments, uid, gid, &status);
    }
    ASSERT_EQ(error, 0) << "could not start the test as nobody: " << std::strerror(error);
    ASSERT_TRUE(WIFEXITED(status)) << "the run as nobody ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the run as nobody failed (its output is above)";

    // The nested run must have run exactly this test's body, not skipped it.
    QFile file(report);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    EXPECT_EQ(root.value("tests").toInt(), 1);
    EXPECT_EQ(root.value("failures").toInt(), 0);
    const QJsonObject test = root.value("testsuites").toArray().at(0).toObject()
            .value("testsuite").toArray().at(0).toObject();
    EXPECT_EQ(test.value("result").toString(), "COMPLETED");
}

} // namespace launchertest

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
