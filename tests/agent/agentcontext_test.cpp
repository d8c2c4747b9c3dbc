#include "agenttestsupport.h"

#include <gtest/gtest.h>

using namespace agenttest;

// Contexts side by side in one process, and contexts that cannot be made. libwebsockets 4.1
// itself leaks in both situations (see tests/sanitizers/lsan.supp), so they live apart from the
// serving tests and run with full allocation stacks under AddressSanitizer.
namespace {

TEST(TessorAgentContext, TlsContextNeedsItsFilesAndPassPhrase)
{
    QString cert;
    QString key;
    ASSERT_TRUE(makeCertificate(scratchFolder(), kKeyPassphrase, &cert, &key));
    TessorAgent wrongPhrase(freePort(), cert.toStdString(), key.toStdString(), "ZZZZ");
    EXPECT_FALSE(wrongPhrase.createContext());
    TessorAgent missingFiles(freePort(), (scratchFolder() + "/none.crt").toStdString(),
                             (scratchFolder() + "/none.key").toStdString(), kKeyPassphrase);
    EXPECT_FALSE(missingFiles.createContext());
    EXPECT_TRUE(missingFiles.stopServer());
}

TEST(TessorAgentContext, SecondContextIsRefusedAndTheFirstKeepsServing)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    EXPECT_FALSE(running.agent().createContext());
    WsClient client;
    ASSERT_TRUE(client.open(wsUrl(running.port())));
    expectGetinfoRoundTrip(client, "still serving");

    // The port is taken by the first agent: another agent cannot listen there.
    TessorAgent samePort(running.port(), "", "", "");
    EXPECT_FALSE(samePort.createContext());
    expectGetinfoRoundTrip(client, "served on");
}

// As the service runs them: a plain and a TLS agent, each on its own worker thread.
TEST(TessorAgentContext, PlainAndTlsAgentsServeSideBySide)
{
    QString cert;
    QString key;
    ASSERT_TRUE(makeCertificate(scratchFolder(), kKeyPassphrase, &cert, &key));
    RunningAgent plain(freePort());
    ASSERT_TRUE(plain.start());
    RunningAgent secure(freePort(), cert.toStdString(), key.toStdString(), kKeyPassphrase);
    ASSERT_TRUE(secure.start());

    WsClient first;
    WsClient second;
    WsClient third;
    ASSERT_TRUE(first.open(wsUrl(plain.port())));
    ASSERT_TRUE(second.open(wssUrl(secure.port())));
    ASSERT_TRUE(third.open(wsUrl(secure.port())));
    // Requests in flight on both agents at once, each joined from two messages.
    first.sendText(R"({"action":"Getinfo",)");
    second.sendText(R"({"action":"Getinfo",)");
    third.sendText(R"({"action":"Getinfo",)");
    first.sendText(R"("id":"plain"})");
    second.sendText(R"("id":"wss"})");
    third.sendText(R"("id":"ws on TLS"})");
    EXPECT_EQ(parse(first.nextMessage()).value("id").toString(), "plain");
    EXPECT_EQ(parse(second.nextMessage()).value("id").toString(), "wss");
    EXPECT_EQ(parse(third.nextMessage()).value("id").toString(), "ws on TLS");

    // Stopping one leaves the other serving.
    EXPECT_TRUE(plain.agent().stopServer());
    EXPECT_TRUE(first.waitDisconnected());
    expectGetinfoRoundTrip(second, "after the plain agent stopped");
}

} // namespace
