#include "launchertestsupport.h"

#include "base/servicelog.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

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

// Guards the collected texts below; the launcher may log from any thread.
std::mutex g_logMutex;
QStringList g_serviceEntries;
ServiceLogWriter g_previousWriter = nullptr;

} // namespace

QStringList toQStringList(const std::vector<std::string> &texts)
{
    QStringList list;
    for (const std::string &text : texts)
        list << QString::fromStdString(text);
    return list;
}

LogCapture::LogCapture()
{
    clearLauncherLog();
    g_previousWriter = setServiceLogWriter(&recordLauncherLog);
}

LogCapture::~LogCapture()
{
    setServiceLogWriter(g_previousWriter);
}

QStringList LogCapture::serviceEntries() const
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_serviceEntries;
}

void recordLauncherLog(const std::string &entry)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_serviceEntries << QString::fromStdString(entry);
}

QStringList launcherLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_serviceEntries;
}

void clearLauncherLog()
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_serviceEntries.clear();
    setServiceLogWriter(&recordLauncherLog);
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
