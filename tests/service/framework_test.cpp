// The service framework, driven from outside as systemd would: a child process, its notify
// socket and signals.
#include "service/qtservice.h"

#include "expected.h"
#include "service/notifysocket.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using testsupport::kServiceVersion;
using testsupport::NotifySocket;

namespace {

constexpr int kTimeoutMs = 20000; // generous: sanitizer builds start slowly

// The test service as systemd would run it: a notify socket, and no display unless a
// platform is named.
struct TestServiceProcess {
    explicit TestServiceProcess(const QStringList &arguments, const QString &platform = QString())
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        if (!platform.isEmpty())
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.address());
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.setReadChannel(QProcess::StandardOutput);
        process.start(QStringLiteral(MIRVALE_TESTSERVICE), arguments);
    }
    ~TestServiceProcess()
    {
        // A failed test must not leave the child behind.
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kTimeoutMs);
        }
    }

    // Everything sent to the notify socket so far, without waiting.
    std::vector<std::string> pending() { return notify.pending(); }

    NotifySocket notify;
    QProcess process;
};

struct SignalRow {
    const char *name;
    std::vector<int> sent; // sent in a row once the service is ready
    QStringList arguments;
};

void PrintTo(const SignalRow &row, std::ostream *os)
{
    *os << row.name;
}

class StopSignal : public ::testing::TestWithParam<SignalRow>
{
};

} // namespace

// createApplication, start, READY=1 in that order; a stop signal reaches stop() on the main
// thread once, however often it comes, and the process then ends normally with 0.
TEST_P(StopSignal, StopsOnTheMainThreadAndExitsWithZero)
{
    const SignalRow &row = GetParam();
    TestServiceProcess service(row.arguments);
    ASSERT_TRUE(service.notify.bound());
    ASSERT_TRUE(service.process.waitForStarted(kTimeoutMs));

    EXPECT_EQ(service.notify.next(kTimeoutMs), "X_HOOK=createApplication app=0");
    EXPECT_EQ(service.notify.next(kTimeoutMs), "X_HOOK=start platform=offscreen main=1");
    ASSERT_EQ(service.notify.next(kTimeoutMs), "READY=1");

    for (int signo : row.sent)
        ASSERT_EQ(::kill(static_cast<pid_t>(service.process.processId()), signo), 0);

    EXPECT_EQ(service.notify.next(kTimeoutMs), "X_HOOK=stop main=1");
    EXPECT_EQ(service.notify.next(kTimeoutMs), "STOPPING=1");
    ASSERT_TRUE(service.process.waitForFinished(kTimeoutMs));
    EXPECT_EQ(service.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.process.exitCode(), 0);
    EXPECT_EQ(service.pending(), std::vector<std::string>()) << "a second stop";
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopSignal,
    ::testing::Values(SignalRow{"term", {SIGTERM}, {}}, SignalRow{"int", {SIGINT}, {}},
                      SignalRow{"hup", {SIGHUP}, {}}, SignalRow{"term_twice", {SIGTERM, SIGTERM}, {}},
                      SignalRow{"int_then_term", {SIGINT, SIGTERM, SIGHUP}, {}},
                      SignalRow{"term_during_stop", {SIGTERM}, {QStringLiteral("signal-in-stop")}}),
    [](const ::testing::TestParamInfo<SignalRow> &info) { return std::string(info.param.name); });

// An event loop that ends by itself gives its code to the process, without stop(). Offscreen
// is chosen only when no platform is named.
TEST(ServiceFramework, EventLoopCodeIsTheExitCode)
{
    struct Row {
        QString platform;
        const char *code;
        const char *startRecord;
    };
    const Row rows[] = {
        {QString(), "3", "X_HOOK=start platform=offscreen main=1"},
        {QStringLiteral("minimal"), "0", "X_HOOK=start platform=minimal main=1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.startRecord);
        TestServiceProcess service({QStringLiteral("exit-with"), QLatin1String(row.code)}, row.platform);
        ASSERT_TRUE(service.notify.bound());
        ASSERT_TRUE(service.process.waitForFinished(kTimeoutMs));
        EXPECT_EQ(service.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(QByteArray::number(service.process.exitCode()), row.code);
        EXPECT_EQ(service.pending(), (std::vector<std::string>{"X_HOOK=createApplication app=0",
                                                               row.startRecord, "READY=1",
                                                               "STOPPING=1"}));
    }
}

// The framework's own switches answer and return 0 without starting the service; only the
// first argument is one of them, later ones belong to the service.
TEST(ServiceFramework, OwnSwitchesAnswerWithoutStarting)
{
    struct Row {
        QStringList arguments;
        QByteArray expectedStart; // of standard output
        bool starts;
    };
    const Row rows[] = {
        {{QStringLiteral("-v")}, "MirvaleTest " + QByteArray(kServiceVersion) + "\n", false},
        {{QStringLiteral("--version")}, "MirvaleTest " + QByteArray(kServiceVersion) + "\n", false},
        {{QStringLiteral("-h")}, "Usage: ", false},
        {{QStringLiteral("--help"), QStringLiteral("-v")}, "Usage: ", false},
        {{QStringLiteral("exit-with"), QStringLiteral("0"), QStringLiteral("-v")}, "", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments.join(QLatin1Char(' ')).toStdString());
        TestServiceProcess service(row.arguments);
        ASSERT_TRUE(service.notify.bound());
        ASSERT_TRUE(service.process.waitForFinished(kTimeoutMs));
        EXPECT_EQ(service.process.exitCode(), 0);
        const QByteArray output = service.process.readAllStandardOutput();
        EXPECT_TRUE(output.startsWith(row.expectedStart)) << output.toStdString();
        EXPECT_EQ(service.pending().empty(), !row.starts);
    }
}

namespace {
class IdleService : public QtService<QCoreApplication>
{
public:
    IdleService(int argc, char **argv) : QtService<QCoreApplication>(argc, argv, QStringLiteral("MirvaleTest")) {}

protected:
    void start() override {}
};
} // namespace

// The one service object is reachable from anywhere, and logging from several threads at once
// is safe (the thread sanitizer build watches this).
TEST(ServiceFramework, InstanceAndLoggingFromThreads)
{
    char program[] = "mirvale-test";
    char *argv[] = {program, nullptr};
    {
        IdleService service(1, argv);
        EXPECT_EQ(QtServiceBase::instance(), &service);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 3; ++i)
                    QtServiceBase::instance()->logMessage(
                        QStringLiteral("framework test %1.%2").arg(t).arg(i), QtServiceBase::Success);
            });
        }
        for (std::thread &thread : threads)
            thread.join();
    }
    EXPECT_EQ(QtServiceBase::instance(), nullptr);
}
