// What an administrator's settings narrow (network/allowed_origins, network/listen) and what the
// service guards on its own whatever the settings (the agent's memory budget, the working
// folders), against the real service. The service here answers at once (service/responsive).

#include "expected.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/rawwsclient.h"
#include "network/wsclient.h"
#include "observe.h"
#include "service/serviceprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QByteArray kPolicy = "[network]\nallowed_origins=https://a.example\nlisten=loopback\n[service]\nresponsive=true\n";

// The store the next service start reads.
void useSettings(const QByteArray &text)
{
    const QString path = scratchFolder() + QStringLiteral("/mirvale.conf");
    ASSERT_TRUE(writeFile(path, text));
    qputenv("MIRVALE_CONFIG", QFile::encodeName(path));
}

class HostilePolicy : public ServiceSuite
{
protected:
    static void SetUpTestSuite()
    {
        useSettings(kPolicy);
        startService();
    }
};

// First in the suite, while the allocator holds nothing from earlier cases: many connections
// each holding almost 1 MiB of unfinished text, and the agent keeps 16 MiB of it at most. The
// others' messages are refused at their end; a request that arrives whole is still answered.
TEST_F(HostilePolicy, UnfinishedTextOfManyConnectionsStaysWithinTheAgentsBudget)
{
    constexpr int kConnections = 48;
    std::vector<RawWsClient> holders(kConnections);
    for (RawWsClient &holder : holders)
        ASSERT_TRUE(holder.open(kPlainPort, step())) << holder.errorString().toStdString();
    ASSERT_TRUE(service().serves(kPlainPort));
    const qint64 before = service().residentKiB();

    const QByteArray unfinished = clientFrame(Text, R"({"action":"Getinfo","id":")" + QByteArray(960 << 10, 'h'));
    for (RawWsClient &holder : holders)
        ASSERT_TRUE(holder.sendAll(unfinished, step()));
    // Replies come as the service reads the messages; done once none has come for a while.
    int refused = 0;
    std::vector<bool> answered(kConnections, false);
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < scaledTimeout(2000)) {
        for (int i = 0; i < kConnections; ++i) {
            if (answered[i])
                continue;
            if (const std::optional<QByteArray> reply = holders[i].nextMessage(10)) {
                EXPECT_EQ(*reply, kUnsupport);
                answered[i] = true;
                ++refused;
                quiet.restart();
            }
        }
    }
    EXPECT_TRUE(service().serves(kPlainPort));
    const qint64 during = service().residentKiB();
    observe("budget: connections refused of 48 holding 960 KiB each", std::to_string(refused));
    observe("budget: memory growth while held", mib(during - before));
    EXPECT_GE(refused, kConnections - 17);
    if (kMemoryChecked) {
        // 16 MiB of text, and a fixed margin for the library's buffers and the allocator; all of
        // it held would be 45 MiB.
        EXPECT_LT(during - before, (16 + 16) * 1024);
    }
}

// With allowed origins set, a browser's handshake from another origin gets 403 before any
// protocol hears of it, whichever protocol it names: even "mutex" cannot end the service then.
// A listed origin and a client without one (not a browser) are served. The connect page (the
// port's own loopback origin) is judged by the site it names; no other page can name one. Last in
// the suite: the listed "mutex" ends the service.
TEST_F(HostilePolicy, OriginsAreCheckedForEveryProtocol)
{
    struct Row {
        const char *protocol; // empty: none named
        const char *origin;   // null: no Origin header; @PORT@: the port's number
        bool served;
        const char *target = "/";
    };
    const Row rows[] = {
        {"", nullptr, true},
        {"", "https://a.example", true},
        {"", "https://evil.example", false},
        {"brelant-liveview", nullptr, true},
        {"brelant-liveview", "https://A.example:443", true},
        {"brelant-liveview", "http://a.example", false},
        {"mutex", "https://evil.example", false},
        {"mutex", "null", false},
        {"", "http://127.0.0.1:@PORT@", true, "/?origin=https%3A%2F%2Fa.example"},
        {"", "http://127.0.0.1:@PORT@", false, "/?origin=https://evil.example"},
        {"", "http://127.0.0.1:@PORT@", false},
        {"", "http://127.0.0.1:@PORT@", false, "/?origin=https://a.example%20x"},
        {"", "https://evil.example", false, "/?origin=https://a.example"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.protocol) + " from " + (row.origin ? row.origin : "<none>") + " at " + row.target);
        for (const quint16 port : {kPlainPort, kTlsPort}) {
            QByteArray headers;
            if (row.origin)
                headers += QByteArray("Origin: ") + QByteArray(row.origin).replace("@PORT@", QByteArray::number(port)) + "\r\n";
            if (*row.protocol)
                headers += QByteArray("Sec-WebSocket-Protocol: ") + row.protocol + "\r\n";
            RawWsClient client;
            ASSERT_TRUE(client.connectTcp(port, step())) << client.errorString().toStdString();
            EXPECT_EQ(client.handshake(port, step(), headers, row.target), row.served) << client.errorString().toStdString();
            if (!row.served) {
                EXPECT_TRUE(client.errorString().contains(QLatin1String(" 403 "))) << client.errorString().toStdString();
            }
        }
    }
    EXPECT_TRUE(service().serves(kPlainPort));
    EXPECT_TRUE(service().serves(kTlsPort, true));
    // Each connection's origin in a record of its own.
    EXPECT_TRUE(service().waitForStderr("Tessor_service_callback Origin: https://evil.example", step()));
    EXPECT_TRUE(service().waitForStderr("Tessor_service_callback Origin: <none>", step()));
    EXPECT_TRUE(service().waitForStderr("Tessor_service_callback connect page for: https://a.example", step()));

    RawWsClient quit;
    ASSERT_TRUE(quit.connectTcp(kPlainPort, step()));
    EXPECT_TRUE(quit.handshake(kPlainPort, step(), "Origin: https://a.example\r\nSec-WebSocket-Protocol: mutex\r\n"));
    ASSERT_TRUE(service().waitForExit(step())) << "a listed page's mutex did not end the service";
    EXPECT_EQ(service().exitCode(), 0);
}

// A link planted at "Mirvale", "playlist" or "subfiles" before the service starts is replaced by
// a real folder: the folder it points to is neither emptied nor written to. So is a folder of
// another user's, or one that others may write: it is moved aside with what it holds.
TEST(HostileFolders, LinksPlantedAtTheWorkingFoldersAreReplaced)
{
    enum class Planted { Link, OtherUsersFolder, FolderOthersWrite };
    useSettings(kPolicy);
    for (const Planted planted : {Planted::Link, Planted::OtherUsersFolder, Planted::FolderOthersWrite}) {
        if (planted == Planted::OtherUsersFolder && geteuid() != 0)
            continue; // only root can give a folder away
        for (const char *level : {"Mirvale", "Mirvale/playlist", "Mirvale/subfiles"}) {
            SCOPED_TRACE(std::string(level) + " planted as " + std::to_string(int(planted)));
            ServiceProcess service;
            const QString at = service.players().publicDir() + QLatin1Char('/') + QLatin1String(level);
            const QString victim = planted == Planted::Link ? service.players().root() + QStringLiteral("/victim") : at;
            ASSERT_TRUE(QDir().mkpath(victim));
            ASSERT_TRUE(writeFile(victim + QStringLiteral("/precious.list"), "keep\n"));
            ASSERT_TRUE(QDir().mkpath(QFileInfo(at).path()));
            if (planted == Planted::Link) {
                ASSERT_TRUE(QFile::link(victim, at));
            } else if (planted == Planted::OtherUsersFolder) {
                ASSERT_EQ(::chown(QFile::encodeName(at).constData(), 65534, 65534), 0); // nobody
            } else {
                ASSERT_EQ(::chmod(QFile::encodeName(at).constData(), 0777), 0);
            }

            ASSERT_TRUE(service.start()) << service.error().toStdString();
            const QFileInfo info(at);
            EXPECT_FALSE(info.isSymLink());
            EXPECT_TRUE(info.isDir());
            EXPECT_EQ(info.ownerId(), geteuid());
            EXPECT_FALSE(info.permissions() & QFileDevice::WriteOther);
            WsClient client;
            ASSERT_OPEN(client, wsUrl(kPlainPort));
            const std::optional<QByteArray> reply = client.request(
                R"({"action":"Play","application":"potplayer","id":1,"params":{"files":[{"url":"u"}]}})", step());
            EXPECT_TRUE(orNone(reply) == playReply("1", 0) || orNone(reply) == playReply("1", -6)) << orNone(reply).constData();
            EXPECT_EQ(fileNames(service.players().playlistDir()).size(), 1);
            // What the planted folder held is where it was, beside the new folder.
            QString kept = victim;
            if (planted != Planted::Link) {
                const QStringList aside = QDir(info.path()).entryList({QLatin1Char('.') + info.fileName() + QStringLiteral(".replaced-*")},
                                                                      QDir::Dirs | QDir::Hidden);
                ASSERT_EQ(aside.size(), 1);
                kept = info.path() + QLatin1Char('/') + aside.first();
            }
            EXPECT_EQ(QDir(kept).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                      QStringList(QStringLiteral("precious.list")));
            service.expectCleanStop();
        }
    }
    qunsetenv("MIRVALE_CONFIG");
}

// network/listen=loopback: in a network namespace of the test's own, with a documentation
// address (192.0.2.1) on an interface of its own, the service answers on 127.0.0.1 and ::1 and
// not on that address; with listen=any it answers there too. The test runs itself again inside
// the namespace, as root.
bool insideNamespace()
{
    return qEnvironmentVariableIsSet("MIRVALE_TEST_IN_NAMESPACE");
}

bool run(const QString &program, const QStringList &arguments)
{
    return QProcess::execute(program, arguments) == 0;
}

// Whether a WebSocket client gets its Getinfo answered at that address.
bool answersAt(const QString &host, quint16 port)
{
    WsClient client;
    return client.open(QUrl(QStringLiteral("ws://%1:%2/").arg(host).arg(port)), {}, scaledTimeout(5000))
           && isGetinfoReply(client.request(getinfoRequest("1"), scaledTimeout(5000)), "1");
}

bool refusedAt(const QString &host, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(host, port);
    waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState || socket.state() == QAbstractSocket::ConnectedState; },
              scaledTimeout(5000));
    return socket.state() == QAbstractSocket::UnconnectedState && socket.error() == QAbstractSocket::ConnectionRefusedError;
}

enum class Namespace { Inside, RanThere, Unavailable };

// Outside the namespace: runs the tests of `filter` again inside a network namespace of their
// own (unshare(1), which needs no name), as root.
Namespace ranInNamespace(const char *filter)
{
    if (insideNamespace())
        return Namespace::Inside;
    if (geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        return Namespace::Unavailable;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MIRVALE_TEST_IN_NAMESPACE"), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("unshare"), {QStringLiteral("--net"), QStringLiteral("--"),
                                            QCoreApplication::applicationFilePath(),
                                            QStringLiteral("--gtest_filter=") + QLatin1String(filter)});
    EXPECT_TRUE(child.waitForFinished(scaledTimeout(240000))) << "the test in the namespace did not end";
    EXPECT_EQ(child.exitCode(), 0) << "the test in the namespace failed (see above)";
    return Namespace::RanThere;
}

// Inside the namespace: loopback up, and a documentation address on an interface of its own.
const char kOtherAddress[] = "192.0.2.1";

void addOtherAddress()
{
    ASSERT_TRUE(run(QStringLiteral("ip"), {"link", "set", "lo", "up"}));
    // A dummy interface where the kernel has them, else a pair of virtual ends.
    if (!run(QStringLiteral("ip"), {"link", "add", "mirvale0", "type", "dummy"})) {
        ASSERT_TRUE(run(QStringLiteral("ip"), {"link", "add", "mirvale0", "type", "veth", "peer", "name", "mirvale1"}));
        ASSERT_TRUE(run(QStringLiteral("ip"), {"link", "set", "mirvale1", "up"}));
    }
    ASSERT_TRUE(run(QStringLiteral("ip"), {"addr", "add", QLatin1String(kOtherAddress) + QStringLiteral("/24"), "dev", "mirvale0"}));
    ASSERT_TRUE(run(QStringLiteral("ip"), {"link", "set", "mirvale0", "up"}));
}

TEST(HostileListen, LoopbackIsNotReachableOnAnotherAddress)
{
    const Namespace where = ranInNamespace("HostileListen.*");
    if (where == Namespace::Unavailable)
        GTEST_SKIP() << "needs root and unshare(1) for a network namespace";
    if (where == Namespace::RanThere)
        return;
    const QString other = QLatin1String(kOtherAddress);
    addOtherAddress();
    if (HasFatalFailure())
        return;

    for (const char *listen : {"loopback", "any"}) {
        SCOPED_TRACE(listen);
        useSettings(QByteArray("[network]\nlisten=") + listen + "\n[service]\nresponsive=true\n");
        ServiceProcess service;
        ASSERT_TRUE(service.start()) << service.error().toStdString();
        for (const quint16 port : {kPlainPort, kTlsPort}) {
            EXPECT_TRUE(answersAt(QStringLiteral("127.0.0.1"), port)) << port;
            EXPECT_TRUE(answersAt(QStringLiteral("[::1]"), port)) << port;
            if (QByteArray(listen) == "loopback") {
                EXPECT_TRUE(refusedAt(other, port)) << port;
            } else {
                EXPECT_TRUE(answersAt(other, port)) << port;
            }
        }
        service.expectCleanStop();
    }
    qunsetenv("MIRVALE_CONFIG");
}

// A host of the network that opens every connection it can gets 448 of the 512, and the local
// pages are still served.
TEST(HostileNetwork, APeerOfTheNetworkCannotTakeTheLoopbackSlots)
{
    const Namespace where = ranInNamespace("HostileNetwork.*");
    if (where == Namespace::Unavailable)
        GTEST_SKIP() << "needs root and unshare(1) for a network namespace";
    if (where == Namespace::RanThere)
        return;
    addOtherAddress();
    if (HasFatalFailure())
        return;
    useSettings("[service]\nresponsive=true\n");
    ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.error().toStdString();

    std::vector<RawWsClient> peers(512);
    for (RawWsClient &peer : peers) {
        ASSERT_TRUE(peer.connectTcp(kPlainPort, step(), 0, kOtherAddress)) << peer.errorString().toStdString();
        peer.sendHandshake(kPlainPort, step());
    }
    int held = 0;
    for (RawWsClient &peer : peers)
        held += peer.finishHandshake(step()) ? 1 : 0;
    observe("network peer: connections it holds of 512 tried", std::to_string(held));
    EXPECT_EQ(held, 448);
    QElapsedTimer clock;
    clock.start();
    const bool served = answersAt(QStringLiteral("127.0.0.1"), kPlainPort);
    observe("network peer holding its slots: a local page served", served ? "yes, after " + ms(clock.elapsed()) : "no");
    EXPECT_TRUE(served);
    service.expectCleanStop();
    qunsetenv("MIRVALE_CONFIG");
}

} // namespace
