// The service host: the debug switch, the icon, and the agent application with its threads on
// ports of the test's own choosing.
#include "service/agentapplication.h"
#include "agent/tessoragent.h"
#include "service/tessorservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "fixtures/debugcapture.h"
#include "fixtures/files.h"
#include "qtprinters.h"
#include "network/ports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using testsupport::DebugCapture;
using testsupport::freePort;
using testsupport::portIsFree;

namespace {

constexpr int kTimeoutMs = 20000; // generous: sanitizer builds are slow

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(kTimeoutMs);
}

struct DebugSwitchRow {
    std::vector<std::string> arguments; // argv[0] included
    bool debugMode;
    int records; // "setDebugMode: true" lines
};

void PrintTo(const DebugSwitchRow &row, std::ostream *os)
{
    for (const std::string &argument : row.arguments)
        *os << '[' << argument << ']';
}

class DebugSwitch : public ::testing::TestWithParam<DebugSwitchRow>
{
};

} // namespace

TEST_P(DebugSwitch, ScansWholeArgumentsFollowedByAnother)
{
    const DebugSwitchRow &row = GetParam();
    std::vector<std::string> storage = row.arguments;
    std::vector<char *> argv;
    for (std::string &argument : storage)
        argv.push_back(&argument[0]);
    argv.push_back(nullptr);

    DebugCapture capture;
    TessorService service(static_cast<int>(storage.size()), argv.data());
    EXPECT_EQ(service.debugMode(), row.debugMode);
    int records = 0;
    for (const QString &line : capture.records()) {
        if (line.startsWith("setDebugMode:")) {
            EXPECT_EQ(line, "setDebugMode: true");
            ++records;
        }
    }
    EXPECT_EQ(records, row.records);
    EXPECT_EQ(service.serviceName(), QStringLiteral("Mirvale"));
    EXPECT_EQ(service.serviceDescription(), QStringLiteral("Tessor Launch Helper."));
    EXPECT_EQ(service.serviceFlags(), QtServiceBase::ServiceFlags(QtServiceBase::CanBeSuspended));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DebugSwitch,
    ::testing::Values(
        DebugSwitchRow{{"mirvale"}, false, 0},
        DebugSwitchRow{{"mirvale", "-e"}, false, 0},
        DebugSwitchRow{{"mirvale", "-execute"}, false, 0},
        DebugSwitchRow{{"mirvale", "x", "-e"}, false, 0},
        DebugSwitchRow{{"mirvale", "-e", "x"}, true, 1},
        DebugSwitchRow{{"mirvale", "-execute", "x"}, true, 1},
        DebugSwitchRow{{"mirvale", "x", "-e", "y"}, true, 1},
        DebugSwitchRow{{"mirvale", "-exec", "x"}, false, 0},
        DebugSwitchRow{{"mirvale", "-E", "x"}, false, 0},
        DebugSwitchRow{{"mirvale", "--e", "x"}, false, 0},
        DebugSwitchRow{{"mirvale", "-e=1", "x"}, false, 0},
        DebugSwitchRow{{"mirvale", "-Execute", "x"}, false, 0},
        DebugSwitchRow{{"mirvale", "-e ", "x"}, false, 0},
        DebugSwitchRow{{"-e", "x"}, false, 0},
        DebugSwitchRow{{"-e", "x", "y"}, false, 0},
        DebugSwitchRow{{"mirvale", "-e", "-e"}, true, 1},
        DebugSwitchRow{{"mirvale", "-e", "-execute", "x"}, true, 2},
        DebugSwitchRow{{"mirvale", "-e", "x", "-execute", "y"}, true, 2}));

TEST(ServiceHost, IconIsCompiledIn)
{
    Q_INIT_RESOURCE(mirvale);
    QImageReader reader(QStringLiteral(":/mirvale.ico"));
    EXPECT_TRUE(reader.canRead()) << reader.errorString().toStdString();
    EXPECT_FALSE(reader.read().isNull());
}

// A port that is taken fails its agent, registers nothing and takes nothing down; the other
// agent runs on its own named thread. Stopping twice is harmless, the ports are free again,
// and the finished() signals still queued find nothing to do.
TEST(AgentApplication, TakenPortFailsOnlyItsAgent)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    const quint16 takenPort = occupant.serverPort();
    const quint16 port = freePort();
    ASSERT_NE(port, 0);

    auto application = std::make_unique<TessorAgentApplication>();
    EXPECT_FALSE(application->createAgent(takenPort, false));
    EXPECT_TRUE(application->agents().empty());

    ASSERT_TRUE(application->createAgent(port, false));
    ASSERT_EQ(application->agents().size(), 1u);
    QAgentThread *thread = application->agents().begin()->first;
    EXPECT_EQ(thread->objectName(), QStringLiteral("agent-%1").arg(port));
    EXPECT_TRUE(accepts(port));
    // Every agent empties the working folders as it is made: none serves before all are made.
    EXPECT_FALSE(thread->isRunning());
    application->startStoppedThreads();
    EXPECT_TRUE(thread->isRunning());

    QSignalSpy destroyed(thread, &QObject::destroyed);
    application->stopAllAgents();
    EXPECT_EQ(destroyed.count(), 1); // deleted at once, after its thread finished
    EXPECT_TRUE(application->agents().empty());
    EXPECT_TRUE(portIsFree(port));

    application->stopAllAgents();
    application->startStoppedThreads();
    QCoreApplication::sendPostedEvents(); // the queued finished() of the stopped thread
    QCoreApplication::processEvents();
    EXPECT_TRUE(application->agents().empty());
    application.reset();
    EXPECT_TRUE(occupant.isListening());
}

// When one agent's loop ends by itself, every agent is stopped and released, and the other
// port stops answering.
TEST(AgentApplication, ThreadThatEndsStopsEveryAgent)
{
    const quint16 first = freePort();
    ASSERT_TRUE(first != 0);
    TessorAgentApplication application;
    ASSERT_TRUE(application.createAgent(first, false));
    const quint16 second = freePort();
    ASSERT_TRUE(second != 0);
    ASSERT_TRUE(application.createAgent(second, false));
    ASSERT_EQ(application.agents().size(), 2u);

    std::vector<std::unique_ptr<QSignalSpy>> destroyed;
    TessorAgent *ending = nullptr;
    for (const auto &entry : application.agents()) {
        destroyed.push_back(std::make_unique<QSignalSpy>(entry.first, &QObject::destroyed));
        if (entry.first->objectName() == QStringLiteral("agent-%1").arg(first))
            ending = entry.second;
    }
    ASSERT_NE(ending, nullptr);
    application.startStoppedThreads();

    ending->terminate();
    ASSERT_TRUE(destroyed[0]->count() == 1 || destroyed[0]->wait(kTimeoutMs));
    EXPECT_EQ(destroyed[1]->count(), 1);
    EXPECT_TRUE(application.agents().empty());
    EXPECT_TRUE(portIsFree(first));
    EXPECT_TRUE(portIsFree(second));
}

// Stopping right after creating, while the worker may not yet have entered its loop, and a
// thread without an agent: both end at once and leave nothing running.
TEST(AgentApplication, StopsAtAnyMomentOfStartUp)
{
    for (int round = 0; round < 10; ++round) {
        const quint16 port = freePort();
        ASSERT_NE(port, 0);
        TessorAgentApplication application;
        ASSERT_TRUE(application.createAgent(port, false));
        application.stopAllAgents();
        EXPECT_TRUE(application.agents().empty());
        EXPECT_TRUE(portIsFree(port));
    }
    {
        // Dropped at the end of scope while its agents still run: the destructor stops them.
        const quint16 port = freePort();
        TessorAgentApplication application;
        ASSERT_TRUE(application.createAgent(port, false));
    }
    QCoreApplication::sendPostedEvents();

    QAgentThread idle;
    idle.start();
    EXPECT_TRUE(idle.wait(kTimeoutMs));
}

namespace {
// Child mode of this test binary: work out the paths from where the executable lies, print
// them, and try the TLS agent with them.
int printAgentPaths(quint16 port)
{
    TessorAgentApplication application;
    application.initPaths();
    std::printf("dir=%s\ncert=%s\nkey=%s\ntls=%d\n", application.appDir().toUtf8().constData(),
                application.certFile().c_str(), application.keyFile().c_str(),
                application.createAgent(port, true) ? 1 : 0);
    return 0;
}

struct PathsResult {
    std::string dir, cert, key, tls;
};

PathsResult runFrom(const QString &executable, quint16 port)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(executable, {QStringLiteral("--print-agent-paths"), QString::number(port)});
    PathsResult result;
    if (!child.waitForFinished(kTimeoutMs) || child.exitCode() != 0)
        return result;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const int equals = line.indexOf('=');
        const std::string name = line.left(equals).toStdString();
        const std::string value = line.mid(equals + 1).toStdString();
        if (name == "dir") result.dir = value;
        else if (name == "cert") result.cert = value;
        else if (name == "key") result.key = value;
        else if (name == "tls") result.tls = value;
    }
    return result;
}
} // namespace

// The TLS files are looked up beside the executable, as UTF-8 with forward slashes, also in a
// folder with spaces and non-ASCII letters; without them only the TLS agent fails.
TEST(AgentApplication, TlsFilesBesideTheExecutable)
{
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const QString folder = temporary.filePath(QStringLiteral("Media Tools \u00e9\u4e2d"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString executable = folder + QStringLiteral("/host test");
    ASSERT_TRUE(QFile::copy(QCoreApplication::applicationFilePath(), executable));
    ASSERT_TRUE(QFile::setPermissions(executable, QFile::ReadOwner | QFile::ExeOwner));

    const std::string expectedDir = QFileInfo(folder).canonicalFilePath().toUtf8().toStdString();
    PathsResult without = runFrom(executable, freePort());
    EXPECT_EQ(without.dir, expectedDir);
    EXPECT_EQ(without.cert, expectedDir + "/server.crt");
    EXPECT_EQ(without.key, expectedDir + "/server.key");
    EXPECT_EQ(without.tls, "0");

    const QString built = QCoreApplication::applicationDirPath();
    ASSERT_TRUE(QFile::copy(built + QStringLiteral("/server.crt"), folder + QStringLiteral("/server.crt")))
        << "the build writes server.crt beside the executables";
    ASSERT_TRUE(QFile::copy(built + QStringLiteral("/server.key"), folder + QStringLiteral("/server.key")));
    EXPECT_EQ(runFrom(executable, freePort()).tls, "1");
}

int main(int argc, char **argv)
{
    // Agents empty the working folders when they are created: keep them in a folder of our own.
    testsupport::useScratchEnvironment();
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--print-agent-paths") == 0)
        return printAgentPaths(static_cast<quint16>(std::atoi(argv[2])));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
