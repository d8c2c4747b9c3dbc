#include "service/serviceprocess.h"

#include "fixtures/emulator.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/ports.h"
#include "network/wsclient.h"
#include "service/childprocesses.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSet>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <iostream>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef MIRVALE_EXECUTABLE
#define MIRVALE_EXECUTABLE ""
#endif

namespace testsupport {

void ChildProcess::setupChildProcess()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

namespace {

// Inodes of the sockets listening on a TCP port, IPv4 and IPv6.
QSet<QByteArray> listeningInodes(quint16 port)
{
    QSet<QByteArray> inodes;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file{QString::fromLatin1(table)};
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() < 10 || fields.at(3) != "0A")
                continue;
            const QByteArray local = fields.at(1);
            if (local.mid(local.lastIndexOf(':') + 1).toUInt(nullptr, 16) == port)
                inodes.insert(fields.at(9));
        }
    }
    return inodes;
}

QSet<QByteArray> socketInodesOf(qint64 pid)
{
    QSet<QByteArray> inodes;
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString &name : QDir(folder).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        char target[256];
        const ssize_t length = readlink(QFile::encodeName(folder + '/' + name).constData(), target,
                                        sizeof target - 1);
        if (length <= 0)
            continue;
        const QByteArray link(target, int(length));
        if (link.startsWith("socket:["))
            inodes.insert(link.mid(8, link.size() - 9));
    }
    return inodes;
}

bool copyFile(const QString &from, const QString &to, QFileDevice::Permissions permissions)
{
    QFile::remove(to);
    return QFile::copy(from, to) && QFile::setPermissions(to, permissions);
}

} // namespace

bool runningAsRoot()
{
    return geteuid() == 0;
}

ServiceProcess::ServiceProcess()
{
    // The service may run as "nobody": it must reach its copy of the executable.
    QFile::setPermissions(m_work.path(), kExecutableByAll);
    m_players.writeRegistry(Installed::Both);
}

ServiceProcess::~ServiceProcess()
{
    killNow();
}

void ServiceProcess::killNow()
{
    if (isRunning()) {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }
}

QString ServiceProcess::executablePath()
{
    const QString fromEnvironment = qEnvironmentVariable("MIRVALE_EXECUTABLE");
    return fromEnvironment.isEmpty() ? QStringLiteral(MIRVALE_EXECUTABLE) : fromEnvironment;
}

bool ServiceProcess::prepareEmulatedBinary(const QFileInfo &built)
{
    m_binaryDir = built.absolutePath();
    m_program = built.absoluteFilePath();
    if (m_options.withCertificates)
        return true;
    // A folder of its own without server.crt and server.key: the program, and links to what it
    // loads from beside it.
    m_binaryDir = m_work.filePath(QStringLiteral("bin"));
    QDir().mkpath(m_binaryDir);
    const QDir source(built.absolutePath());
    for (const QString &name : source.entryList({QStringLiteral("*.dll"), QStringLiteral("qt.conf"),
                                                 QStringLiteral("platforms"), QStringLiteral("imageformats")})) {
        if (!QFile::link(source.filePath(name), m_binaryDir + '/' + name)) {
            m_error = QStringLiteral("cannot link %1").arg(source.filePath(name));
            return false;
        }
    }
    m_program = m_binaryDir + '/' + built.fileName();
    if (!QFile::copy(built.absoluteFilePath(), m_program)) {
        m_error = QStringLiteral("cannot copy %1").arg(built.filePath());
        return false;
    }
    return true;
}

bool ServiceProcess::prepareBinary()
{
    const QFileInfo built(executablePath());
    if (underEmulator() && built.isFile())
        return prepareEmulatedBinary(built);
    if (!built.isExecutable()) {
        m_error = QStringLiteral("no executable at %1").arg(built.filePath());
        return false;
    }
    const bool dropPrivileges = m_options.unprivileged && runningAsRoot();
    if (!dropPrivileges && m_options.withCertificates) {
        m_binaryDir = built.absolutePath();
        m_program = built.absoluteFilePath();
        return true;
    }
    // A private copy: without the certificate files, or readable by "nobody" (the build's
    // key file is private to its owner).
    m_binaryDir = m_work.filePath(QStringLiteral("bin"));
    QDir().mkpath(m_binaryDir);
    QFile::setPermissions(m_binaryDir, kExecutableByAll);
    m_program = m_binaryDir + QStringLiteral("/mirvale");
    if (!copyFile(built.absoluteFilePath(), m_program, kExecutableByAll)) {
        m_error = QStringLiteral("cannot copy %1").arg(built.filePath());
        return false;
    }
    if (m_options.withCertificates) {
        for (const char *name : {"server.crt", "server.key"}) {
            const QString source = built.absolutePath() + '/' + QLatin1String(name);
            if (!copyFile(source, m_binaryDir + '/' + QLatin1String(name), kReadableByAll)) {
                m_error = QStringLiteral("cannot copy %1 (the build writes it)").arg(source);
                return false;
            }
        }
    }
    return true;
}

bool ServiceProcess::start(const ServiceOptions &options)
{
    m_started = false;
    m_options = options;
    killNow();
    // Players that the service starts detached end up as our children, so that they can be
    // reaped and their ids become free.
    becomeSubreaper();
    if (!m_players.isValid()) {
        m_error = QStringLiteral("cannot lay out the fake players");
        return false;
    }
    if (!m_notify.bound()) {
        m_error = QStringLiteral("cannot create the notify socket");
        return false;
    }
    if (!prepareBinary())
        return false;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        for (const quint16 port : qAsConst(m_options.freePorts)) {
            if (!portIsFree(port) && !waitUntil([port] { return portIsFree(port); }, 180000, 500)) {
                m_error = QStringLiteral("port %1 stays taken by another process (another service?)").arg(port);
                return false;
            }
        }
        if (!launch())
            return false;
        // An emulated start is slower, and its first makes the machine's certificate.
        m_started = waitUntil([this] { return ownsListeners(); }, scaledTimeout(underEmulator() ? 60000 : 5000), 100);
        if (m_started)
            return true;
        // Someone else bound a port between the check and the service's start.
        killNow();
        m_error = QStringLiteral("the service did not get its ports; stderr:\n") + stderrTail();
    }
    return false;
}

bool ServiceProcess::launch()
{
    m_ready = false;
    m_notify.pending(); // left over from an earlier start

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"NOTIFY_SOCKET", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                             "JOURNAL_STREAM", "QT_MESSAGE_PATTERN", "QT_LOGGING_RULES",
                             "MIRVALE_PUBLIC_DIR", "MIRVALE_REGISTRY", "LISTEN_FDS",
                             "LISTEN_PID", "INVOCATION_ID", "MIRVALE_EXECUTABLE"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), m_notify.address());
    // The debug records go to stderr, never to the journal.
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("default.debug=true"));
    // A sanitized build's leak reports must reach into libwebsockets and OpenSSL, which have
    // no frame pointers, for the suppressions to match: the fast unwinder stops there.
    QString asanOptions = environment.value(QStringLiteral("ASAN_OPTIONS"));
    if (!asanOptions.contains(QLatin1String("fast_unwind_on_malloc"))) {
        asanOptions += QLatin1String(asanOptions.isEmpty() ? "" : ":");
        environment.insert(QStringLiteral("ASAN_OPTIONS"), asanOptions + QLatin1String("fast_unwind_on_malloc=0"));
    }
    environment.insert(QStringLiteral("MIRVALE_PUBLIC_DIR"), m_players.publicDir());
    environment.insert(QStringLiteral("MIRVALE_REGISTRY"), m_players.registryFile());

    QStringList arguments = m_options.arguments;
    QString program = m_program;
    if (underEmulator()) {
        // Wine hands on no QT_* variable of the host: WINEQT_* arrive under their QT_* names.
        for (const char *name : {"QT_FORCE_STDERR_LOGGING", "QT_LOGGING_RULES"})
            environment.insert(QStringLiteral("WINE") + QLatin1String(name), environment.value(QLatin1String(name)));
        arguments.prepend(m_program);
        program = emulator();
    } else if (m_options.unprivileged && runningAsRoot()) {
        const QString home = m_work.filePath(QStringLiteral("home"));
        QDir().mkpath(home);
        QFile::setPermissions(home, QFileDevice::Permissions(0x7777));
        environment.insert(QStringLiteral("HOME"), home);
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        environment.insert(QStringLiteral("USER"), QStringLiteral("nobody"));
        environment.insert(QStringLiteral("LOGNAME"), QStringLiteral("nobody"));
        // setpriv execs the service, so the process id stays the service's own.
        arguments = QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                QStringLiteral("--init-groups"), QStringLiteral("--"), m_program}
                    + m_options.arguments;
        program = QStringLiteral("/usr/bin/setpriv");
    }
    for (const auto &entry : qAsConst(m_options.environment)) {
        if (entry.second.isNull())
            environment.remove(entry.first);
        else
            environment.insert(entry.first, entry.second);
    }

    m_stderrFile = m_work.filePath(QStringLiteral("stderr.log"));
    m_process.setStandardErrorFile(m_stderrFile, QIODevice::Truncate);
    m_process.setStandardOutputFile(m_work.filePath(QStringLiteral("stdout.log")),
                                    QIODevice::Truncate);
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_work.path());
    m_process.setProgram(program);
    m_process.setArguments(arguments);
    m_process.start();
    if (!m_process.waitForStarted(scaledTimeout(10000))) {
        m_error = QStringLiteral("cannot start %1: %2").arg(program, m_process.errorString());
        return false;
    }

    // Not a systemd service there: started means listening (start() waits for it).
    if (underEmulator())
        return true;
    m_ready = waitForReady(scaledTimeout(20000));
    if (m_ready)
        return true;
    if (m_process.state() == QProcess::NotRunning) {
        m_error = QStringLiteral("the service exited during start-up (code %1); stderr:\n%2")
                     .arg(m_process.exitCode())
                     .arg(stderrTail());
        return false;
    }
    // No READY=1: see whether it listens anyway, so the rest of the test still says something.
    const bool listening = waitUntil(
        [&] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), m_options.probePort);
            return probe.waitForConnected(300);
        },
        scaledTimeout(10000), 100);
    if (!listening) {
        m_error = QStringLiteral("neither READY=1 nor a listener on port %1; stderr:\n%2")
                     .arg(m_options.probePort)
                     .arg(stderrTail());
        return false;
    }
    ADD_FAILURE() << "the service never sent READY=1 through NOTIFY_SOCKET; the test fell back "
                     "to waiting for port "
                  << m_options.probePort << " to accept";
    return true;
}

bool ServiceProcess::waitForReady(int timeoutMs)
{
    bool ready = false;
    QEventLoop loop;
    QSocketNotifier notifier(m_notify.fd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
        for (const std::string &datagram : m_notify.pending()) {
            if (QByteArray::fromStdString(datagram).split('\n').contains("READY=1"))
                ready = true;
        }
        if (ready)
            loop.quit();
    });
    QObject::connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (m_process.state() == QProcess::Running)
        loop.exec();
    QObject::disconnect(&m_process, nullptr, &loop, nullptr);
    return ready;
}

bool ServiceProcess::ownsListeners() const
{
    if (!isRunning())
        return false;
    // The emulator's server holds the sockets; the ports were free before the start and the
    // tests run in a network namespace of their own, so whoever accepts is the service.
    if (underEmulator()) {
        for (const quint16 port : qAsConst(m_options.ownedPorts)) {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), port);
            if (!probe.waitForConnected(300))
                return false;
        }
        return true;
    }
    const QSet<QByteArray> own = socketInodesOf(m_process.processId());
    for (const quint16 port : qAsConst(m_options.ownedPorts)) {
        if (!listeningInodes(port).intersects(own))
            return false;
    }
    return true;
}

qint64 ServiceProcess::pid() const
{
    return m_process.processId();
}

bool ServiceProcess::isRunning() const
{
    return m_process.state() != QProcess::NotRunning;
}

bool ServiceProcess::stop(int timeoutMs, int signal)
{
    if (!isRunning())
        return true;
    if (underEmulator()) {
        // The emulated process has no handler for Unix signals: it quits through "mutex".
        WsClient mutex;
        mutex.open(wsUrl(m_options.ownedPorts.value(0, kPlainPort)), {QStringLiteral("mutex")}, timeoutMs);
        return waitForExit(timeoutMs);
    }
    ::kill(pid_t(m_process.processId()), signal);
    return waitForExit(timeoutMs);
}

bool ServiceProcess::waitForExit(int timeoutMs)
{
    if (!isRunning())
        return true;
    QEventLoop loop;
    QObject::connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(&m_process, nullptr, &loop, nullptr);
    return !isRunning();
}

QByteArray ServiceProcess::stderrText() const
{
    QFile file(m_stderrFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString ServiceProcess::stderrTail(int lines) const
{
    const QList<QByteArray> all = stderrText().split('\n');
    QStringList tail;
    for (int i = qMax(0, all.size() - lines); i < all.size(); ++i)
        tail << QString::fromUtf8(all.at(i));
    return tail.join('\n');
}

bool ServiceProcess::waitForStderr(const QByteArray &needle, int timeoutMs, qsizetype from) const
{
    return waitUntil([&] { return stderrText().indexOf(needle, int(from)) >= 0; }, timeoutMs, 50);
}

QString ServiceProcess::sanitizerReports() const
{
    QStringList found;
    for (const QByteArray &line : stderrText().split('\n')) {
        if (line.contains("ERROR: AddressSanitizer") || line.contains("ERROR: LeakSanitizer")
            || line.contains("WARNING: ThreadSanitizer") || line.contains("runtime error:"))
            found << QString::fromUtf8(line);
    }
    return found.join('\n');
}

void ServiceProcess::expectCleanStop()
{
    if (m_started && isRunning()) {
        const bool exited = stop(scaledTimeout(30000));
        EXPECT_TRUE(exited) << "the service did not exit within 30 s of SIGTERM";
        if (exited) {
            EXPECT_EQ(exitStatus(), QProcess::NormalExit) << stderrTail().toStdString();
            EXPECT_EQ(exitCode(), 0) << stderrTail().toStdString();
        }
    }
    EXPECT_EQ(sanitizerReports().toStdString(), std::string());
    endPlayers();
}

void ServiceProcess::endPlayers()
{
    if (underEmulator()) {
        if (!fileNames(m_players.recordDir()).isEmpty())
            runEmulated({QStringLiteral("taskkill"), QStringLiteral("/f"), QStringLiteral("/im"), QStringLiteral("vlc.exe"),
                         QStringLiteral("/im"), QStringLiteral("PotPlayerMini64.exe")});
        return;
    }
    for (const QString &name : fileNames(m_players.recordDir())) {
        if (name.endsWith(QLatin1String(".rec")))
            endFakePlayer(QFileInfo(name).completeBaseName().toLongLong());
    }
}

void ServiceProcess::dumpStderr(bool failed, int lines) const
{
    if (!failed && !qEnvironmentVariableIsSet("MIRVALE_E2E_VERBOSE"))
        return;
    std::cout << "--- service stderr (tail) ---\n";
    for (const QString &line : stderrTail(lines).split(QLatin1Char('\n')))
        std::cout << (line.size() > 300 ? line.left(300) + QStringLiteral("...") : line).toStdString() << "\n";
    std::cout << "---" << std::endl;
}

::testing::AssertionResult ServiceProcess::serves(quint16 port, bool tls, int timeoutMs)
{
    static int s_id = 1000; // test thread only
    const QByteArray id = QByteArray::number(++s_id);
    WsClient client;
    if (!client.open(tls ? wssUrl(port) : wsUrl(port), {}, timeoutMs))
        return ::testing::AssertionFailure() << "cannot connect to " << port << ": " << client.errorString().toStdString();
    const std::optional<QByteArray> reply = client.request(getinfoRequest(id), timeoutMs);
    if (!isGetinfoReply(reply, id))
        return ::testing::AssertionFailure() << "port " << port << " answered " << shown(reply).toStdString();
    return ::testing::AssertionSuccess();
}

qint64 ServiceProcess::residentKiB() const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid()));
    if (!isRunning() || !status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int ServiceProcess::openDescriptors() const
{
    QDir folder(QStringLiteral("/proc/%1/fd").arg(pid()));
    if (!isRunning() || !folder.exists())
        return -1;
    return int(folder.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

ServiceProcess *ServiceSuite::s_service = nullptr;

void ServiceSuite::startService(const ServiceOptions &options)
{
    s_service = new ServiceProcess;
    s_service->start(options);
}

void ServiceSuite::TearDownTestSuite()
{
    s_service->expectCleanStop();
    delete s_service;
    s_service = nullptr;
}

void ServiceSuite::SetUp()
{
    ASSERT_TRUE(service().started()) << service().error().toStdString();
    ASSERT_TRUE(service().isRunning()) << "the service has exited with code " << service().exitCode() << ":\n"
                                       << service().stderrTail().toStdString();
}

void ServiceSuite::TearDown()
{
    service().dumpStderr(HasFailure());
}

} // namespace testsupport
