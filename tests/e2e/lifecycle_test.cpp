// Starting and ending the real service: the "mutex" quit, stop signals with connections
// open, and start-up with one of the two servers unable to come up. Each case runs a
// service of its own.

#include "expected.h"
#include "network/eventwait.h"
#include "network/rawwsclient.h"
#include "network/wsclient.h"
#include "qtprinters.h"
#include "service/serviceprocess.h"

#include <QTcpServer>

#include <csignal>

using namespace testsupport;

namespace {

class LifecycleE2E : public testing::Test
{
protected:
    void TearDown() override
    {
        m_service.dumpStderr(HasFailure());
        m_service.endPlayers();
    }

    // The exit a service must make on its own after a quit request.
    void expectCleanExit(int timeoutMs)
    {
        ServiceProcess &service = m_service;
        ASSERT_TRUE(service.waitForExit(scaledTimeout(timeoutMs))) << "still running after " << timeoutMs << " ms";
        EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(service.exitCode(), 0);
        EXPECT_EQ(service.sanitizerReports(), QString());
    }

    ServiceProcess m_service;
};

TEST_F(LifecycleE2E, MutexConnectionEndsTheServiceWithCodeZero)
{
    for (const QUrl &url : {wsUrl(kPlainPort), wssUrl(kTlsPort)}) {
        SCOPED_TRACE(url.toString().toStdString());
        ASSERT_TRUE(m_service.start()) << m_service.error().toStdString();
        WsClient mutex;
        mutex.open(url, {QStringLiteral("mutex")}); // the service may go before the handshake ends
        expectCleanExit(10000);
        EXPECT_TRUE(m_service.stderrText().contains("mutex_service_callback LWS_CALLBACK_ESTABLISHED"));
    }
}

TEST_F(LifecycleE2E, StopSignalsEndTheServiceCleanlyWithConnectionsOpen)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        ASSERT_TRUE(m_service.start()) << m_service.error().toStdString();
        WsClient plain;
        ASSERT_OPEN(plain, wsUrl(kPlainPort));
        WsClient secure;
        ASSERT_OPEN(secure, wssUrl(kTlsPort));
        EXPECT_EQ(orNone(secure.request(getinfoRequest("1"))), getinfoReply(kBothPlayers, "1"));
        RawWsClient halfway;
        WsClient liveview;
        if (signal == SIGTERM) {
            // A request cut off after its first piece, and a connection of the ignored protocol.
            ASSERT_OPEN(halfway, kPlainPort);
            halfway.sendFrame(Text, R"({"action":"Get)", false);
            ASSERT_OPEN(liveview, wsUrl(kTlsPort), {QStringLiteral("brelant-liveview")});
        }
        ASSERT_TRUE(m_service.stop(scaledTimeout(20000), signal)) << "still running 20 s after the signal";
        EXPECT_EQ(m_service.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_service.exitCode(), 0);
        EXPECT_EQ(m_service.sanitizerReports(), QString());
        EXPECT_TRUE(plain.waitDisconnected(5000));
    }
}

TEST_F(LifecycleE2E, PortTakenByAnotherProcessLeavesTheOtherPortServing)
{
    // Bound like the service binds: every interface, both address families.
    QTcpServer squatter;
    ASSERT_TRUE(waitUntil([&] { return squatter.listen(QHostAddress::Any, kPlainPort); }, 180000, 500))
        << squatter.errorString().toStdString();
    ServiceOptions options;
    options.probePort = kTlsPort;
    options.freePorts = {kTlsPort};
    options.ownedPorts = {kTlsPort};
    ASSERT_TRUE(m_service.start(options)) << m_service.error().toStdString();

    for (const QUrl &url : {wssUrl(kTlsPort), wsUrl(kTlsPort)}) {
        SCOPED_TRACE(url.toString().toStdString());
        WsClient client;
        ASSERT_OPEN(client, url);
        EXPECT_EQ(orNone(client.request(getinfoRequest("1"))), getinfoReply(kBothPlayers, "1"));
    }
    EXPECT_TRUE(m_service.isRunning());
    m_service.expectCleanStop();
}

TEST_F(LifecycleE2E, MissingCertificateLeavesThePlainPortServing)
{
    ServiceOptions options;
    options.withCertificates = false;
    options.ownedPorts = {kPlainPort};
    ASSERT_TRUE(m_service.start(options)) << m_service.error().toStdString();

    WsClient client;
    ASSERT_OPEN(client, wsUrl(kPlainPort));
    EXPECT_EQ(orNone(client.request(getinfoRequest("1"))), getinfoReply(kBothPlayers, "1"));

    WsClient secure;
    EXPECT_FALSE(secure.open(wssUrl(kTlsPort), {}, 8000)) << "port 8143 serves without its certificate";
    EXPECT_TRUE(m_service.isRunning());
    m_service.expectCleanStop();
}

} // namespace
