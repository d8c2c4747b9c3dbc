// SIGTERM, as systemd sends it, while 200 clients are connected: the service ends with code 0
// and every client sees its connection end.

#include "expected.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/httptestserver.h"
#include "network/rawwsclient.h"
#include "network/wsclient.h"
#include "observe.h"
#include "service/serviceprocess.h"

#include <QDir>
#include <QElapsedTimer>

#include <string>
#include <vector>

using namespace testsupport;

namespace {

TEST(HostileShutdown, SigtermWithTwoHundredClientsConnectedEndsWithCodeZero)
{
    ServiceProcess service;
    ASSERT_TRUE(service.start()) << service.error().toStdString();

    constexpr int kClients = 200;
    QElapsedTimer clock;
    clock.start();
    std::vector<RawWsClient> clients(kClients);
    for (int i = 0; i < kClients; ++i) {
        const quint16 port = i % 2 ? kTlsPort : kPlainPort;
        ASSERT_TRUE(clients[i].connectTcp(port, scaledTimeout(20000))) << i << ": " << clients[i].errorString().toStdString();
        ASSERT_TRUE(clients[i].sendHandshake(port, scaledTimeout(20000))) << i;
    }
    int connected = 0;
    for (RawWsClient &client : clients)
        connected += client.finishHandshake(scaledTimeout(90000)) ? 1 : 0;
    ASSERT_EQ(connected, kClients);
    observe("shutdown: 200 handshakes completed after", std::to_string(clock.elapsed()) + " ms");
    // Some are in the middle of a request when the signal comes.
    for (int i = 0; i < kClients; i += 4)
        clients[i].sendAll(clientFrame(Text, R"({"action":"Getinfo",)"), scaledTimeout(5000));
    ASSERT_TRUE(service.serves(kPlainPort)); // all of the above has been seen by the service
    observe("shutdown: descriptors held with 200 clients", std::to_string(service.openDescriptors()));

    clock.restart();
    ASSERT_TRUE(service.stop(scaledTimeout(60000))) << "no exit within 60 s of SIGTERM";
    observe("shutdown: exit after SIGTERM", std::to_string(clock.elapsed()) + " ms");
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);
    EXPECT_EQ(service.sanitizerReports().toStdString(), std::string());

    int ended = 0;
    for (RawWsClient &client : clients)
        ended += client.waitClosed(scaledTimeout(5000)).has_value() ? 1 : 0;
    EXPECT_EQ(ended, kClients) << "connections left open by a service that has exited";
    service.dumpStderr(::testing::Test::HasFailure());
}

// SIGTERM while a Play waits for its subtitle: the service ends, no player is started behind its
// back, and the Play leaves no playlist or subtitle.
TEST(HostileShutdown, APlayInFlightStartsNoPlayerOnceTheServiceIsStopping)
{
    HttpTestServer http;
    ASSERT_TRUE(http.isListening());
    http.setRoute("/stall.srt", {200, {}, {}, true});
    ServiceProcess service;
    ServiceOptions options;
    options.arguments = QStringList{QStringLiteral("-e"), QStringLiteral("x")}; // a launch would succeed
    ASSERT_TRUE(service.start(options)) << service.error().toStdString();
    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    client.sendText(R"({"action":"Play","application":"vlc","id":1,"params":{"files":[{"url":"http://nas/a.mkv","sub-file":")"
                    + http.url("/stall.srt") + R"("}]}})");
    ASSERT_TRUE(http.waitForRequest("/stall.srt", std::chrono::milliseconds(scaledTimeout(20000))));
    ASSERT_EQ(fileNames(service.players().playlistDir()).size(), 1); // written, waiting for the subtitle

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(service.stop(scaledTimeout(30000))) << "no exit within 30 s of SIGTERM";
    observe("shutdown: exit after SIGTERM with a Play in flight", std::to_string(clock.elapsed()) + " ms");
    EXPECT_EQ(service.exitCode(), 0);
    EXPECT_EQ(QDir(service.players().recordDir()).entryList(QDir::Files), QStringList()) << "a player was started";
    EXPECT_EQ(fileNames(service.players().playlistDir()), QStringList());
    EXPECT_EQ(fileNames(service.players().subtitleDir()), QStringList());
    service.dumpStderr(::testing::Test::HasFailure());
}

} // namespace
