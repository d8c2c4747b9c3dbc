#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace e2e {

// The service dies with the test: a test aborted by a sanitizer or a time-out must not leave
// it holding the ports for the tests after it.
class ChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

struct ServiceOptions {
    QStringList arguments;        // after the program name, e.g. {"-e", "x"} for debug mode
    QString registryFile;         // MIRVALE_REGISTRY; empty leaves it unset
    QString publicDir;            // MIRVALE_PUBLIC_DIR; empty leaves it unset
    bool unprivileged = false;    // as root: run the service as "nobody" (setpriv)
    bool withCertificates = true; // false: run a copy of the executable without server.crt/key
    quint16 probePort = 8142;     // where to wait for a listener when READY=1 never comes
    // Ports that must be free before the start, and ports the service must then listen on.
    // Another service or another test run may hold them for a while (RESOURCE_LOCK covers
    // one ctest run only), or take them between the check and the service's own bind: the
    // start is then tried again.
    QList<quint16> freePorts{8142, 8143};
    QList<quint16> ownedPorts{8142, 8143};
};

// The real executable, started the way systemd would start it (NOTIFY_SOCKET, no display),
// stderr captured in a file for assertions. Killed when destroyed if still running.
class ServiceProcess
{
public:
    explicit ServiceProcess(ServiceOptions options);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // The executable under test: the build's own, or MIRVALE_EXECUTABLE from the environment.
    static QString executablePath();

    // Starts the service and waits for its READY=1. When READY=1 never comes but the probe
    // port accepts, the test goes on with a recorded failure saying so. False (with the
    // reason in *error) when the process did not come up at all.
    bool start(QString *error);
    bool readyNotified() const { return m_ready; }

    qint64 pid() const;
    bool isRunning() const;

    // SIGTERM (or another signal), then wait for the exit. False on time-out.
    bool stop(int timeoutMs, int signal = 15);
    bool waitForExit(int timeoutMs);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

    // Everything the service wrote to stderr so far (its debug records, libcurl's verbose lines).
    QByteArray stderrText() const;
    QString stderrTail(int lines = 60) const;
    // Waits until stderr, from byte offset `from` on, contains needle.
    bool waitForStderr(const QByteArray &needle, int timeoutMs, qsizetype from = 0) const;
    // Sanitizer reports found in stderr, empty when there are none.
    QString sanitizerReports() const;

    // The folder the executable runs from (a private copy when one was needed).
    QString binaryDir() const { return m_binaryDir; }

private:
    bool prepareBinary(QString *error);
    bool launch(QString *error);
    bool ownsListeners() const;
    bool waitForReady(int timeoutMs);

    ServiceOptions m_options;
    QTemporaryDir m_work;
    QString m_binaryDir;
    QString m_program;
    QString m_stderrFile;
    ChildProcess m_process;
    int m_notifyFd = -1;
    QByteArray m_notifyName;
    bool m_ready = false;
};

// True when this test runs as root (the service then needs dropping for service-mode tests).
bool runningAsRoot();

} // namespace e2e
