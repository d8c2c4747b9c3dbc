// The request protocol through the real service: Getinfo on every endpoint, the "Unsupport"
// reply, the echo of "id", the joining of pieces into requests, and connections that are
// not requests (liveview, plain HTTP, broken frames). One service for the whole suite.

#include "expected.h"
#include "fixtures/files.h"
#include "fixtures/regfile.h"
#include "network/eventwait.h"
#include "network/rawwsclient.h"
#include "network/wsclient.h"
#include "qtprinters.h"
#include "service/serviceprocess.h"

#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>

using namespace testsupport;

namespace {

class ProtocolE2E : public ServiceSuite
{
protected:
    static void SetUpTestSuite() { startService(); }

    void SetUp() override
    {
        ServiceSuite::SetUp();
        players().writeRegistry(Installed::Both);
    }
};

struct Endpoint {
    const char *name;
    QUrl url;
};

const Endpoint kEndpoints[] = {
    {"ws 8142", wsUrl(kPlainPort)},
    {"wss 8143", wssUrl(kTlsPort)},
    {"ws 8143", wsUrl(kTlsPort)},
};

TEST_F(ProtocolE2E, GetinfoOnEveryEndpointReportsTheRegisteredPlayers)
{
    int id = 0;
    for (const Endpoint &endpoint : kEndpoints) {
        SCOPED_TRACE(endpoint.name);
        WsClient client;
        ASSERT_OPEN(client, endpoint.url);

        players().writeRegistry(Installed::Both);
        QByteArray idText = QByteArray::number(++id);
        EXPECT_EQ(orNone(client.request(getinfoRequest(idText))), getinfoReply(kBothPlayers, idText));

        // The registry file changes while the service runs; the next Getinfo sees it.
        players().writeRegistry(Installed::None);
        idText = QByteArray::number(++id);
        EXPECT_EQ(orNone(client.request(getinfoRequest(idText))), getinfoReply("", idText));
    }
}

TEST_F(ProtocolE2E, GetinfoListsOnlyPlayersWhoseProgramExists)
{
    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    struct Row {
        const char *name;
        QByteArray registry;
        QByteArray applications;
    };
    const Row rows[] = {
        {"VLC only", RegFile().key("SOFTWARE\\VideoLAN\\VLC").value("InstallDir", players().vlcInstallDir()).text(),
         R"("vlc")"},
        {"PotPlayer only (32-bit key)",
         RegFile().key("SOFTWARE\\WOW6432Node\\DAUM\\PotPlayer").value("ProgramPath", players().potplayerProgram()).text(),
         R"("potplayer")"},
        {"PotPlayer registered, program missing",
         RegFile()
             .key("SOFTWARE\\VideoLAN\\VLC").value("InstallDir", players().vlcInstallDir())
             .key("SOFTWARE\\DAUM\\PotPlayer64").value("ProgramPath", players().root() + "/gone.exe")
             .text(),
         R"("vlc")"},
        {"VLC folder with a trailing slash gives another file",
         RegFile().key("SOFTWARE\\VideoLAN\\VLC").value("InstallDir", players().vlcInstallDir() + "/").text(), ""},
    };
    int id = 100;
    for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            players().writeRegistryText(row.registry);
            const QByteArray idText = QByteArray::number(++id);
            EXPECT_EQ(orNone(client.request(getinfoRequest(idText))), getinfoReply(row.applications, idText));
    }
}

TEST_F(ProtocolE2E, RequestsThatAreNotSupportedGetTheUnsupportReply)
{
    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    const QByteArray rows[] = {
        // JSON that is not an object
        "[1,2,3]",
        "[]",
        // no "action", or one of another type or case
        "{}",
        R"({"id":1})",
        R"({"action":7,"id":1})",
        R"({"action":null})",
        R"({"action":["Getinfo"]})",
        R"({"action":{"name":"Getinfo"}})",
        R"({"action":"getinfo","id":1})",
        R"({"action":"GETINFO"})",
        R"({"action":"Getinfo ","id":1})",
        R"({"action":"Stop","id":1})",
        // "Play" without "params", or for a player that is none of the three
        R"({"action":"Play","application":"vlc","id":3})",
        R"({"action":"play","application":"vlc","params":{"files":[{"url":"x"}]}})",
        R"({"action":"Play","application":"VLC","id":4,"params":{"files":[{"url":"x"}]}})",
        R"({"action":"Play","id":5,"params":{"files":[{"url":"x"}]}})",
        // text that can never become a request: discarded, answered all the same
        "hello, service",
        "42",
        R"("just a string")",
        R"({"a":1}{"b":2})",
        R"({"action":"Getinfo","id":1}})",
    };
    for (const QByteArray &row : rows) {
        SCOPED_TRACE(row.toStdString());
        EXPECT_EQ(orNone(client.request(row)), kUnsupport);
    }
    EXPECT_TRUE(client.expectSilence(1500)) << "a request was answered more than once";
    EXPECT_TRUE(fileNames(players().playlistDir()).isEmpty()) << "an unsupported Play left a playlist";
}

TEST_F(ProtocolE2E, GetinfoEchoesTheIdOfAnyType)
{
    WsClient client;
    ASSERT_OPEN(client, wssUrl(kTlsPort));
    struct Row {
        QByteArray requestId; // JSON text in the request, empty for none
        QByteArray replyId;   // as Qt's compact form writes it back
    };
    const Row rows[] = {
        {"1", "1"},
        {"-3", "-3"},
        {"1.5", "1.5"},
        {"12345678901", "12345678901"},
        {"true", "true"},
        {"null", "null"},
        {R"("abc")", R"("abc")"},
        {R"("")", R"("")"},
        {R"("q\"b\\s\n")", R"("q\"b\\s\n")"},
        {R"("h\u00e9\u20ac")", "\"h\xc3\xa9\xe2\x82\xac\""},
        {R"({"b":[1,2],"a":{"c":null}})", R"({"a":{"c":null},"b":[1,2]})"},
        {R"([1,"a",null,true,{}])", R"([1,"a",null,true,{}])"},
        {"", ""},
    };
    for (const Row &row : rows) {
            SCOPED_TRACE(row.requestId.toStdString());
            EXPECT_EQ(orNone(client.request(getinfoRequest(row.requestId))), getinfoReply(kBothPlayers, row.replyId));
    }

    // Keys besides "action" and "id" are ignored, also those of Play: nothing is started.
    RecordWatcher records(players().recordDir());
    EXPECT_EQ(orNone(client.request(
                  R"({"action":"Getinfo","id":5,"application":"vlc","params":{"files":[{"url":"x"}]},"extra":true})")),
              getinfoReply(kBothPlayers, "5"));
    EXPECT_TRUE(records.expectNone(1500));
}

TEST_F(ProtocolE2E, PiecesOfOneRequestAreJoinedIntoOneRequest)
{
    const QByteArray request = getinfoRequest(R"("pieces")");
    const QByteArray expected = getinfoReply(kBothPlayers, R"("pieces")");
    const int third = request.size() / 3;
    const QByteArray pieces[] = {request.left(third), request.mid(third, third), request.mid(2 * third)};

    {
        SCOPED_TRACE("three frames of one message, sent at once");
        WsClient client;
        ASSERT_OPEN(client, wsUrl(kPlainPort));
        client.sendFragmented(request, 3);
        EXPECT_EQ(orNone(client.nextMessage()), expected);
        EXPECT_TRUE(client.expectSilence(1500));
    }
    {
        SCOPED_TRACE("three frames of one message, one per service pass");
        RawWsClient client;
        ASSERT_OPEN(client, kPlainPort);
        client.sendFrame(Text, pieces[0], false);
        pace(1200);
        client.sendFrame(Continuation, pieces[1], false);
        pace(1200);
        client.sendFrame(Continuation, pieces[2], true);
        EXPECT_EQ(orNone(client.nextMessage()), expected);
        EXPECT_TRUE(client.expectSilence(1500));
    }
    {
        SCOPED_TRACE("three messages: the request is complete only with the third");
        WsClient client;
        ASSERT_OPEN(client, wsUrl(kTlsPort));
        client.sendText(pieces[0]);
        client.sendText(pieces[1]);
        EXPECT_TRUE(client.expectSilence(2000)) << "an incomplete request was answered";
        client.sendText(pieces[2]);
        EXPECT_EQ(orNone(client.nextMessage()), expected);
        EXPECT_TRUE(client.expectSilence(1500));
    }
}

TEST_F(ProtocolE2E, LargeRequestGetsItsWholeReply)
{
    const QByteArray id = '"' + QByteArray(100 * 1024, 'x') + '"';
    for (const Endpoint &endpoint : {kEndpoints[0], kEndpoints[1]}) {
        SCOPED_TRACE(endpoint.name);
        WsClient client;
        ASSERT_OPEN(client, endpoint.url);
        QElapsedTimer timer;
        timer.start();
        const QByteArray reply = orNone(client.request(getinfoRequest(id), 30000));
        std::cout << "[ measure  ] 100 KiB Getinfo on " << endpoint.name << ": " << timer.elapsed() << " ms\n";
        EXPECT_EQ(reply.size(), getinfoReply(kBothPlayers, id).size());
        EXPECT_TRUE(reply == getinfoReply(kBothPlayers, id)) << "the reply differs from the expected text";
        EXPECT_TRUE(client.expectSilence(1500));
    }
}

TEST_F(ProtocolE2E, InterleavedPiecesOfTwoClientsStayApart)
{
    RawWsClient first;
    RawWsClient second;
    ASSERT_OPEN(first, kPlainPort);
    ASSERT_OPEN(second, kPlainPort);
    const QByteArray requestA = getinfoRequest(R"("first client")");
    const QByteArray requestB = getinfoRequest(R"({"who":"second client","n":[1,2,3]})");
    const auto piece = [](const QByteArray &text, int index) {
        const int third = text.size() / 3;
        return index < 2 ? text.mid(index * third, third) : text.mid(2 * third);
    };
    for (int index = 0; index < 3; ++index) {
        const quint8 opcode = index == 0 ? Text : Continuation;
        first.sendFrame(opcode, piece(requestA, index), index == 2);
        second.sendFrame(opcode, piece(requestB, index), index == 2);
        if (index < 2)
            pace(1200);
    }
    EXPECT_EQ(orNone(first.nextMessage()), getinfoReply(kBothPlayers, R"("first client")"));
    EXPECT_EQ(orNone(second.nextMessage()), getinfoReply(kBothPlayers, R"({"n":[1,2,3],"who":"second client"})"));
    EXPECT_TRUE(first.expectSilence(1200));
    EXPECT_TRUE(second.expectSilence(100));
}

TEST_F(ProtocolE2E, ConnectionServesTheNextRequestAfterGarbage)
{
    RawWsClient client;
    ASSERT_OPEN(client, kPlainPort);
    client.sendFrame(Text, "this is not JSON");
    EXPECT_EQ(orNone(client.nextMessage()), kUnsupport);
    client.sendFrame(Text, getinfoRequest("1"));
    EXPECT_EQ(orNone(client.nextMessage()), getinfoReply(kBothPlayers, "1"));

    client.sendFrame(Text, R"({"a":1}{"b":2})");
    EXPECT_EQ(orNone(client.nextMessage()), kUnsupport);
    // Binary frames carry requests like text frames.
    client.sendFrame(Binary, getinfoRequest("2"));
    EXPECT_EQ(orNone(client.nextMessage()), getinfoReply(kBothPlayers, "2"));

    // A zero byte ends what a piece contributes.
    client.sendFrame(Text, getinfoRequest("3") + QByteArray(1, '\0') + "{\"trailing");
    EXPECT_EQ(orNone(client.nextMessage()), getinfoReply(kBothPlayers, "3"));
    client.sendFrame(Text, getinfoRequest("4"));
    EXPECT_EQ(orNone(client.nextMessage()), getinfoReply(kBothPlayers, "4"));
    EXPECT_TRUE(client.expectSilence(1500));
}

TEST_F(ProtocolE2E, BrokenFramesEndOnlyTheirOwnConnection)
{
    struct Row {
        const char *name;
        quint8 opcode;
        QByteArray payload;
        quint8 rsv;
    };
    const Row rows[] = {
        {"reserved bit RSV1 without an extension", Text, getinfoRequest("1"), 4},
        {"invalid UTF-8 in a text frame", Text, "{\"action\":\"Getinfo\",\"id\":\"\xc3\x28\"}", 0},
    };
    for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            RawWsClient bystander;
            ASSERT_OPEN(bystander, kPlainPort);
            RawWsClient client;
            ASSERT_OPEN(client, kPlainPort);
            client.sendFrame(row.opcode, row.payload, true, row.rsv);
            EXPECT_TRUE(client.waitClosed(scaledTimeout(10000))) << "the connection stayed open";
            EXPECT_FALSE(client.nextMessage(100).has_value());
            bystander.sendFrame(Text, getinfoRequest("2"));
            EXPECT_EQ(orNone(bystander.nextMessage()), getinfoReply(kBothPlayers, "2"));
    }
}

TEST_F(ProtocolE2E, LiveviewConnectionIsAcceptedAndNeverAnswered)
{
    for (const Endpoint &endpoint : {kEndpoints[0], kEndpoints[1]}) {
        SCOPED_TRACE(endpoint.name);
        WsClient liveview;
        ASSERT_OPEN(liveview, endpoint.url, {QStringLiteral("brelant-liveview")});
        liveview.sendText(getinfoRequest("1"));
        liveview.sendText("not JSON");
        EXPECT_TRUE(liveview.expectSilence(3000));
        EXPECT_TRUE(liveview.isConnected());

        WsClient client;
        ASSERT_OPEN(client, endpoint.url);
        EXPECT_EQ(orNone(client.request(getinfoRequest("2"))), getinfoReply(kBothPlayers, "2"));
    }
}

// What a page's new WebSocket(url, protocols) sends. A browser fails the connection unless the
// answer names the protocol the server chose.
TEST_F(ProtocolE2E, HandshakeNamingTheRequestProtocolIsServedAsARequestConnection)
{
    const QStringList rows[] = {
        {QStringLiteral("42689.2")},
        {QStringLiteral("x-unknown"), QStringLiteral("42689.2")},
    };
    int id = 0;
    for (const QStringList &subprotocols : rows) {
        for (const Endpoint &endpoint : {kEndpoints[0], kEndpoints[1]}) {
            SCOPED_TRACE(std::string(endpoint.name) + " naming " + subprotocols.join(", ").toStdString());
            WsClient client;
            ASSERT_OPEN(client, endpoint.url, subprotocols);
            const QByteArray idText = QByteArray::number(++id);
            EXPECT_EQ(orNone(client.request(getinfoRequest(idText))), getinfoReply(kBothPlayers, idText));
        }
    }
    RawWsClient raw;
    ASSERT_TRUE(raw.connectTcp(kPlainPort, 10000));
    ASSERT_TRUE(raw.handshake(kPlainPort, 10000, "Sec-WebSocket-Protocol: 42689.2\r\n")) << raw.errorString();
    EXPECT_TRUE(raw.handshakeReply().toLower().contains("\r\nsec-websocket-protocol: 42689.2"))
        << raw.handshakeReply().toStdString();
}

TEST_F(ProtocolE2E, PlainHttpRequestIsAnsweredAndClosed)
{
    for (const quint16 port : {kPlainPort, kTlsPort}) {
        SCOPED_TRACE("http on port " + std::to_string(port));
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        ASSERT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 10000));
        socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n");
        QByteArray response;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { response += socket.readAll(); });
        EXPECT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; },
                              scaledTimeout(15000)))
            << "the connection was not closed after the answer";
        response += socket.readAll();
        EXPECT_TRUE(response.startsWith("HTTP/1.1 200")) << response.toStdString();
        EXPECT_TRUE(response.toLower().contains("content-type: text/plain")) << response.toStdString();
        EXPECT_TRUE(response.contains(kServiceVersion)) << response.toStdString();
    }
    {
        SCOPED_TRACE("https on port 8143");
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray response;
        QObject::connect(&socket, &QSslSocket::readyRead, [&] { response += socket.readAll(); });
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), kTlsPort);
        ASSERT_TRUE(waitUntil([&] { return socket.isEncrypted(); }, scaledTimeout(15000)))
            << socket.errorString().toStdString();
        socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n");
        // The server ends the TLS session after the answer (close_notify); the TCP connection
        // it then keeps until the client closes too, as a browser does.
        EXPECT_TRUE(waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState
                                           || socket.error() == QAbstractSocket::RemoteHostClosedError; },
                              scaledTimeout(15000)))
            << "the TLS session was not closed after the answer";
        response += socket.readAll();
        EXPECT_TRUE(response.startsWith("HTTP/1.1 200")) << response.toStdString();
        EXPECT_TRUE(response.toLower().contains("content-type: text/plain")) << response.toStdString();
        EXPECT_TRUE(response.contains(kServiceVersion)) << response.toStdString();
    }
}

TEST_F(ProtocolE2E, ConnectionAndRequestLeaveTheirDebugRecords)
{
    const int start = service().stderrText().size();
    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    EXPECT_TRUE(service().waitForStderr("Tessor_service_callback LWS_CALLBACK_ESTABLISHED", 5000, start));
    EXPECT_TRUE(service().waitForStderr(" OnConnected", 5000, start));

    const QByteArray request = getinfoRequest(R"("debug-record-probe")");
    EXPECT_EQ(orNone(client.request(request)), getinfoReply(kBothPlayers, R"("debug-record-probe")"));
    ASSERT_TRUE(service().waitForStderr("sendMessage lws_write result:", 5000, start));
    const QByteArray records = service().stderrText().mid(start);
    const int onMessage = records.indexOf("On Message : ");
    ASSERT_GE(onMessage, 0) << records.toStdString();
    const QByteArray onMessageLine = records.mid(onMessage, records.indexOf('\n', onMessage) - onMessage);
    EXPECT_TRUE(onMessageLine.contains(request)) << onMessageLine.toStdString();
    EXPECT_GT(records.indexOf("sendMessage lws_write result:", onMessage), onMessage)
        << "the send record does not follow the request's record";

    client.close();
    EXPECT_TRUE(service().waitForStderr("TessorAgent onDisconnected", 5000, start));

    // Only 127.0.0.1 counts as the local peer: an IPv6 loopback client is served like a
    // remote one, without the " OnConnected" record.
    const int ipv6Start = service().stderrText().size();
    WsClient ipv6;
    if (!ipv6.open(wsUrl(kPlainPort, QStringLiteral("[::1]")), {}, 10000))
        GTEST_SKIP() << "no IPv6 loopback here: " << ipv6.errorString();
    EXPECT_EQ(orNone(ipv6.request(getinfoRequest("6"))), getinfoReply(kBothPlayers, "6"));
    const QByteArray ipv6Records = service().stderrText().mid(ipv6Start);
    EXPECT_TRUE(ipv6Records.contains("Tessor_service_callback LWS_CALLBACK_ESTABLISHED")) << ipv6Records;
    EXPECT_FALSE(ipv6Records.contains(" OnConnected")) << ipv6Records;
}

} // namespace
