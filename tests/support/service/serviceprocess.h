#pragma once

#include "expected.h"
#include "fixtures/fakeplayers.h"
#include "service/notifysocket.h"

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace testsupport {

// The service dies with the test: a test aborted by a sanitizer or a time-out must not leave
// it holding the ports for the tests after it.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

struct ServiceOptions {
    QStringList arguments;        // after the program name, e.g. {"-e", "x"} for debug mode
    bool unprivileged = false;    // as root: run the service as "nobody" (setpriv)
    bool withCertificates = true; // false: run a copy of the executable without server.crt/key
    quint16 probePort = kPlainPort; // where to wait for a listener when READY=1 never comes
    // Ports that must be free before the start, and ports the service must then listen on.
    // Another service or another test run may hold them for a while (RESOURCE_LOCK covers
    // one ctest run only), or take them between the check and the service's own bind: the
    // start is then tried again.
    QList<quint16> freePorts{kPlainPort, kTlsPort};
    QList<quint16> ownedPorts{kPlainPort, kTlsPort};
    // Applied last, over everything above: NAME to a value, or to a null QString to remove it
    // (MIRVALE_REGISTRY, say, for the discovery of a real install).
    QList<QPair<QString, QString>> environment;
};

// The real executable, started the way systemd would start it (NOTIFY_SOCKET, no display), with
// a public folder, a registry file and fake players of its own (both players registered), stderr
// captured in a file for assertions. Killed when destroyed if still running; may be started again
// once it has ended.
class ServiceProcess
{
public:
    ServiceProcess();
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // The executable under test: the build's own, or MIRVALE_EXECUTABLE from the environment.
    static QString executablePath();

    // Starts the service and waits for its READY=1. When READY=1 never comes but the probe
    // port accepts, the test goes on with a recorded failure saying so. False (with the
    // reason in error()) when the process did not come up at all.
    bool start(const ServiceOptions &options = {});
    bool started() const { return m_started; }
    QString error() const { return m_error; }
    bool readyNotified() const { return m_ready; }
    PlayerFixture &players() { return m_players; }

    qint64 pid() const;
    bool isRunning() const;

    // SIGTERM (or another signal), then wait for the exit. False on time-out. Under an emulator
    // a "mutex" connection instead.
    bool stop(int timeoutMs, int signal = SIGTERM);
    bool waitForExit(int timeoutMs);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    // Ends a started service the way systemd does and expects it to go cleanly (code 0, no
    // sanitizer report); ends the players that still linger.
    void expectCleanStop();
    // Ends the fake players that linger ("sleep 300") after their record.
    void endPlayers();

    // Everything the service wrote to stderr so far (its debug records, libcurl's verbose lines).
    QByteArray stderrText() const;
    QString stderrTail(int lines = 60) const;
    // Waits until stderr, from byte offset `from` on, contains needle.
    bool waitForStderr(const QByteArray &needle, int timeoutMs, qsizetype from = 0) const;
    // Sanitizer reports found in stderr, empty when there are none.
    QString sanitizerReports() const;
    // After a failed test (or always, with MIRVALE_E2E_VERBOSE set): the last records, each
    // cut short.
    void dumpStderr(bool failed, int lines = 60) const;

    // A well-behaved client gets its Getinfo answered on the port (plain ws://, or wss://).
    static ::testing::AssertionResult serves(quint16 port, bool tls = false, int timeoutMs = 30000);
    // What /proc tells about the running service: VmRSS in KiB and open descriptors (-1 when
    // it is gone).
    qint64 residentKiB() const;
    int openDescriptors() const;

    // The folder the executable runs from (a private copy when one was needed).
    QString binaryDir() const { return m_binaryDir; }

private:
    void killNow();
    bool prepareBinary();
    bool prepareEmulatedBinary(const QFileInfo &built);
    bool launch();
    bool ownsListeners() const;
    bool waitForReady(int timeoutMs);

    ServiceOptions m_options;
    QTemporaryDir m_work;
    PlayerFixture m_players;
    NotifySocket m_notify;
    QString m_binaryDir;
    QString m_program;
    QString m_stderrFile;
    ChildProcess m_process;
    QString m_error;
    bool m_started = false;
    bool m_ready = false;
};

// A test suite whose cases share one service: a suite's SetUpTestSuite calls startService, each
// case begins with the service up and running, and a failed case shows its last records.
class ServiceSuite : public ::testing::Test
{
protected:
    static void startService(const ServiceOptions &options = {});
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    static ServiceProcess &service() { return *s_service; }
    static PlayerFixture &players() { return s_service->players(); }

private:
    static ServiceProcess *s_service; // one suite at a time: the test thread's
};

// True when this test runs as root (the service then needs dropping for service-mode tests).
bool runningAsRoot();

} // namespace testsupport
