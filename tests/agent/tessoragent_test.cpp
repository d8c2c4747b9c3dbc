#include "agenttestsupport.h"
#include "fixtures/regfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

using namespace agenttest;

namespace {

TEST(TessorAgent, ServesAPlainClientAndLogsItsConnection)
{
    clearRecords();
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    // The plain agent's context records show empty TLS paths.
    EXPECT_TRUE(records().contains("m_filePrivateKey: "));
    EXPECT_TRUE(records().contains("m_fileCert: "));
    EXPECT_TRUE(records().contains("ssl_private_key_filepath: "));
    EXPECT_TRUE(records().contains("ssl_cert_filepath: "));

    {
        WsClient client;
        ASSERT_TRUE(client.open(wsUrl(running.port())));
        client.sendText(getinfo(5));
        const QJsonObject reply = parse(client.nextMessage());
        EXPECT_EQ(reply.value("action").toString(), "Getinfo");
        EXPECT_EQ(reply.value("id").toInt(), 5);
        EXPECT_EQ(reply.value("version").toString(), kServiceVersion);
    }
    ASSERT_TRUE(waitUntil([] { return countRecords("TessorAgent onDisconnected") == 1; }));

    // The worker thread carries its port in its name.
    bool named = false;
    for (const QFileInfo &task : QDir("/proc/self/task").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(task.filePath() + "/comm");
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "agent-" + QByteArray::number(running.port()))
            named = true;
    }
    EXPECT_TRUE(named);

    const QStringList log = records();
    EXPECT_EQ(log.filter("Tessor_service_callback LWS_CALLBACK_ESTABLISHED").size(), 1);
    EXPECT_EQ(log.filter(" OnConnected\n").size(), 1); // a loopback peer
    EXPECT_EQ(countRecords("On Message :  " + getinfo(5)), 1);
    EXPECT_EQ(countRecords("sendMessage lws_write result:"), 1);

    // Closing the server is no disconnection of a client: the listening socket is not logged.
    running.agent().stopServer();
    EXPECT_EQ(countRecords("TessorAgent onDisconnected"), 1);
}

TEST(TessorAgent, ServesAnIpv6LoopbackPeerWithoutTheLoopbackHook)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6, 0))
        GTEST_SKIP() << "no IPv6 loopback here";
    probe.close();
    clearRecords();
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port(), "[::1]")));
    expectGetinfoRoundTrip(client, "v6");
    EXPECT_EQ(countRecords("Tessor_service_callback LWS_CALLBACK_ESTABLISHED"), 1);
    EXPECT_TRUE(records().filter(" OnConnected").isEmpty());
}

TEST(TessorAgent, RequestInThreeFragmentsGetsOneReply)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    const QString request = getinfo("fragments");
    client.socket().setOutgoingFrameSize(quint64((request.size() + 2) / 3));
    client.sendText(request);
    EXPECT_EQ(parse(client.nextMessage()).value("id").toString(), "fragments");

    client.socket().setOutgoingFrameSize(QWebSocket::maxOutgoingFrameSize());
    expectGetinfoRoundTrip(client, "after");
    EXPECT_EQ(client.received(), 2);
}

TEST(TessorAgent, InterleavedPiecesOfTwoClientsEachGetTheirOwnReply)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient first;
    WsClient second;
    ASSERT_TRUE(first.open(wsUrl(running.port())));
    ASSERT_TRUE(second.open(wsUrl(running.port())));

    // Each message is an incomplete piece that only the same connection's next one completes.
    first.sendText(R"({"action":"Getinfo",)");
    second.sendText(R"({"id":"second",)");
    first.sendText(R"("id":"first"})");
    second.sendText(R"("action":"Getinfo"})");
    EXPECT_EQ(parse(first.nextMessage()).value("id").toString(), "first");
    EXPECT_EQ(parse(second.nextMessage()).value("id").toString(), "second");

    expectGetinfoRoundTrip(first, "first again");
    expectGetinfoRoundTrip(second, "second again");
    EXPECT_EQ(first.received(), 2);
    EXPECT_EQ(second.received(), 2);
}

TEST(TessorAgent, LargeRequestAndReplyArriveWhole)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    const QString id(100 * 1024, QChar('x'));
    QElapsedTimer timer;
    timer.start();
    client.sendText(getinfo(id));
    const QByteArray reply = orNone(client.nextMessage());
    RecordProperty("round_trip_ms", QString::number(timer.elapsed()).toStdString());
    EXPECT_GT(reply.size(), 100 * 1024);
    EXPECT_EQ(parse(reply).value("id").toString(), id);
    expectGetinfoRoundTrip(client, "small");
    EXPECT_EQ(client.received(), 2);
}

TEST(TessorAgent, TextThatCanNeverCompleteIsAnsweredAndTheNextRequestServed)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    for (const QString &text : {QString("hello"), QString("{}{}"), QString(R"({"a":1} x)")}) {
        client.sendText(text);
        EXPECT_EQ(orNone(client.nextMessage()), kUnsupport) << text.toStdString();
        expectGetinfoRoundTrip(client, text);
    }
    // A prefix that can still complete waits across messages.
    client.sendText(R"({"action":)");
    client.sendText(R"("Getinfo","id":"joined"})");
    EXPECT_EQ(parse(client.nextMessage()).value("id").toString(), "joined");
    EXPECT_EQ(client.received(), 7);
}

TEST(TessorAgent, TlsAgentServesWssAndPlainWsOnItsPort)
{
    QString cert;
    QString key;
    ASSERT_TRUE(makeCertificate(scratchFolder(), kKeyPassphrase, &cert, &key));
    clearRecords();
    RunningAgent running(freePort(), cert.toStdString(), key.toStdString(), kKeyPassphrase);
    ASSERT_TRUE(running.start());
    EXPECT_TRUE(records().contains("m_fileCert: " + cert));
    EXPECT_TRUE(records().contains("ssl_private_key_filepath: " + key));

    WsClient secure;
    ASSERT_TRUE(secure.open(wssUrl(running.port())));
    expectGetinfoRoundTrip(secure, "wss");
    WsClient plain;
    ASSERT_TRUE(plain.open(wsUrl(running.port())));
    expectGetinfoRoundTrip(plain, "ws on the TLS port");

    // A reply larger than one TLS record.
    const QString id(100 * 1024, QChar('y'));
    secure.sendText(getinfo(id));
    EXPECT_EQ(parse(secure.nextMessage()).value("id").toString(), id);
}

TEST(TessorAgent, StopServerWhileServingReturnsPromptlyAndAgain)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    expectGetinfoRoundTrip(client, "before stop");

    QElapsedTimer timer;
    timer.start();
    EXPECT_TRUE(running.agent().stopServer());
    const qint64 stopMs = timer.elapsed();
    RecordProperty("stop_ms", QString::number(stopMs).toStdString());
    EXPECT_LT(stopMs, 5000); // a hang guard, not a speed claim
    // The worker has left the loop, so its thread ends without further help.
    EXPECT_TRUE(running.thread()->wait(5000));
    EXPECT_TRUE(client.waitDisconnected());
    EXPECT_TRUE(running.agent().stopServer());
}

TEST(TessorAgent, StopBeforeTheLoopStartsKeepsTheLoopFromRunning)
{
    TessorAgent agent(freePort(), "", "", "");
    ASSERT_TRUE(agent.createContext());
    EXPECT_TRUE(agent.stopServer());
    std::unique_ptr<QThread> worker(QThread::create([&agent] { agent.serviceLoop(); }));
    worker->start();
    EXPECT_TRUE(worker->wait(5000));
}

TEST(TessorAgent, TerminateEndsTheLoopFromAnotherThread)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    running.agent().terminate();
    EXPECT_TRUE(running.thread()->wait(10000));
    // Terminated, not stopped: the context lives on until stopServer.
    EXPECT_TRUE(client.isConnected());
    EXPECT_TRUE(running.agent().stopServer());
    EXPECT_TRUE(client.waitDisconnected());
}

TEST(TessorAgent, LiveviewConnectionStaysOpenWithoutAnswers)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient liveview;
    ASSERT_TRUE(liveview.open(wsUrl(running.port()), {"brelant-liveview"}));
    liveview.sendText(getinfo("ignored"));
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    // Two passes later the liveview message has long been read.
    expectGetinfoRoundTrip(client, "one");
    expectGetinfoRoundTrip(client, "two");
    EXPECT_EQ(liveview.received(), 0);
    EXPECT_TRUE(liveview.isConnected());
}

TEST(TessorAgent, MutexConnectionEndsTheEventLoopWithZeroAndStopsTheAgent)
{
    clearRecords();
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    WsClient mutex;
    QNetworkRequest request{wsUrl(running.port())};
    request.setRawHeader("Sec-WebSocket-Protocol", "mutex");
    mutex.socket().open(request);
    QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(countRecords("mutex_service_callback LWS_CALLBACK_ESTABLISHED"), 1);
    EXPECT_TRUE(running.thread()->wait(10000));
}

// One request on a fresh connection: the agent answers and closes. contains: texts of the
// lower-cased answer.
void expectHttpAnswer(quint16 port, bool tls, const QByteArray &requestLine, const char *status,
                      const std::vector<QByteArray> &contains)
{
    SCOPED_TRACE((QString(tls ? "https " : "http ") + requestLine).toStdString());
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone); // the test certificate is self-signed
    if (tls)
        socket.connectToHostEncrypted("127.0.0.1", port);
    else
        socket.connectToHost("127.0.0.1", port);
    ASSERT_TRUE(waitUntil([&] { return tls ? socket.isEncrypted() : socket.state() == QAbstractSocket::ConnectedState; }));
    socket.write(requestLine + "\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\nContent-Length: 0\r\n\r\n");
    // Closed: over TLS the close_notify ends the session at once (the library then keeps the
    // TCP connection until its time-out unless the client closes it).
    QByteArray answer;
    ASSERT_TRUE(waitUntil([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState
               || socket.error() == QAbstractSocket::RemoteHostClosedError;
    })) << "the connection stays open";
    answer += socket.readAll();
    const int split = answer.indexOf("\r\n\r\n");
    ASSERT_GT(split, 0) << answer.constData();
    const QByteArray head = answer.left(split).toLower();
    EXPECT_TRUE(head.startsWith(QByteArray("http/1.1 ") + status)) << head.constData();
    EXPECT_TRUE(head.contains("\r\nconnection: close")) << head.constData();
    for (const QByteArray &text : contains)
        EXPECT_TRUE(answer.toLower().contains(text)) << text.constData() << "\n" << answer.constData();
}

// "/" names the service, "/connect" is the connect page (never framed, nothing but its own script
// and style), and no other path is served.
TEST(TessorAgent, PlainHttpRequestIsAnsweredAndClosed)
{
    const QByteArray name = "\r\n\r\nmirvale " + QByteArray(kServiceVersion) + "\n";
    struct Row {
        QByteArray request;
        const char *status;
        std::vector<QByteArray> contains;
    };
    const Row rows[] = {
        {"GET / HTTP/1.1", "200 ok", {"\r\ncontent-type: text/plain", name}},
        {"GET /?x=1 HTTP/1.1", "200 ok", {name}},
        {"GET /connect HTTP/1.1", "200 ok",
         {"\r\ncontent-type: text/html", "\r\nx-frame-options: deny", "frame-ancestors 'none'",
          "default-src 'none'", "script-src 'sha256-", "<button id=\"allow\"", "<button id=\"deny\""}},
        {"GET /connect?origin=x HTTP/1.1", "200 ok", {"\r\ncontent-type: text/html"}},
        {"POST /connect HTTP/1.1", "405", {"\r\nallow: get"}},
        {"GET /connect/ HTTP/1.1", "404", {"\r\ncontent-type: text/plain"}},
        {"GET /page?x=1 HTTP/1.1", "404", {"\r\ncontent-type: text/plain"}},
    };
    {
        RunningAgent plain(freePort());
        ASSERT_TRUE(plain.start());
        for (const Row &row : rows)
            expectHttpAnswer(plain.port(), false, row.request, row.status, row.contains);
    }
    QString cert;
    QString key;
    ASSERT_TRUE(makeCertificate(scratchFolder(), kKeyPassphrase, &cert, &key));
    RunningAgent secure(freePort(), cert.toStdString(), key.toStdString(), kKeyPassphrase);
    ASSERT_TRUE(secure.start());
    for (const Row &row : {rows[0], rows[2]})
        expectHttpAnswer(secure.port(), true, row.request, row.status, row.contains);
    expectHttpAnswer(secure.port(), false, rows[6].request, rows[6].status, rows[6].contains);
}

// The launch seam: records what the agent asks to start and hands back a prepared process id.
std::mutex g_launchMutex;           // guards the three below: written on the agent's worker
std::vector<std::string> g_launched; // programs, in order
qint64 g_nextPid = 0;

bool recordLaunch(std::string program, std::vector<std::string>, ProcessIdentity *launched)
{
    std::lock_guard<std::mutex> lock(g_launchMutex);
    g_launched.push_back(program);
    *launched = {g_nextPid, processStartTime(g_nextPid)};
    return true;
}

TEST(TessorAgent, PlayLaunchesThroughTheCallbackAndEndsTheLastPlayer)
{
    const QString player = scratchFolder() + "/potplayer";
    QFile(player).open(QIODevice::WriteOnly);
    const QString registry = QString::fromLocal8Bit(qgetenv("MIRVALE_REGISTRY"));
    ASSERT_TRUE(RegFile().key("SOFTWARE\\DAUM\\PotPlayer64").value("ProgramPath", player).writeTo(registry));
    struct RemoveRegistry {
        QString path;
        ~RemoveRegistry() { QFile::remove(path); }
    } removeRegistry{registry};

    // Stand-ins for two players the agent starts one after the other.
    QProcess firstPlayer;
    QProcess secondPlayer;
    firstPlayer.start("sleep", {"60"});
    secondPlayer.start("sleep", {"60"});
    ASSERT_TRUE(firstPlayer.waitForStarted());
    ASSERT_TRUE(secondPlayer.waitForStarted());

    RunningAgent running(freePort());
    ASSERT_TRUE(running.start(recordLaunch));
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    const QString play = R"({"action":"Play","application":"potplayer","id":%1,"params":{"files":[{"url":"http://nas/a.mkv"}]}})";

    {
        std::lock_guard<std::mutex> lock(g_launchMutex);
        g_nextPid = firstPlayer.processId();
    }
    client.sendText(play.arg(1));
    EXPECT_EQ(parse(client.nextMessage()).value("return").toInt(-99), 0);
    EXPECT_EQ(firstPlayer.state(), QProcess::Running);

    {
        std::lock_guard<std::mutex> lock(g_launchMutex);
        g_nextPid = secondPlayer.processId();
    }
    client.sendText(play.arg(2));
    EXPECT_EQ(parse(client.nextMessage()).value("return").toInt(-99), 0);
    // The second Play ended the first player, and only that one.
    EXPECT_TRUE(waitUntil([&] { return firstPlayer.state() == QProcess::NotRunning; }));
    EXPECT_EQ(firstPlayer.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(secondPlayer.state(), QProcess::Running);
    {
        std::lock_guard<std::mutex> lock(g_launchMutex);
        ASSERT_EQ(g_launched.size(), 2u);
        EXPECT_EQ(g_launched[1], player.toStdString());
    }
    secondPlayer.kill();
    secondPlayer.waitForFinished();
}

} // namespace
