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
    ASSERT_TRUE(makeCertificate(scratchFolder(), "KWZT", &cert, &key));
    TessorAgent wrongPhrase(freePort(), cert.toStdString(), key.toStdString(), "ZZZZ");
    EXPECT_FALSE(wrongPhrase.createContext());
    TessorAgent missingFiles(freePort(), (scratchFolder() + "/none.crt").toStdString(),
                             (scratchFolder() + "/none.key").toStdString(), "KWZT");
    EXPECT_FALSE(missingFiles.createContext());
    EXPECT_TRUE(missingFiles.stopServer());
}

TEST(TessorAgentContext, SecondContextIsRefusedAndTheFirstKeepsServing)
{
    RunningAgent running(freePort());
    ASSERT_TRUE(running.start());
    EXPECT_FALSE(running.agent().createContext());
    Client client;
    ASSERT_TRUE(client.open(plainUrl(running.port())));
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
    ASSERT_TRUE(makeCertificate(scratchFolder(), "KWZT", &cert, &key));
    RunningAgent plain(freePort());
    ASSERT_TRUE(plain.start());
    RunningAgent secure(freePort(), cert.toStdString(), key.toStdString(), "KWZT");
    ASSERT_TRUE(secure.start());

    Client first;
    Client second;
    Client third;
    ASSERT_TRUE(first.open(plainUrl(plain.port())));
    ASSERT_TRUE(second.open(QString("wss://127.0.0.1:%1/").arg(secure.port())));
    ASSERT_TRUE(third.open(plainUrl(secure.port())));
    // Requests in flight on both agents at once, each joined from two messages.
    first.send(R"({"action":"Getinfo",)");
    second.send(R"({"action":"Getinfo",)");
    third.send(R"({"action":"Getinfo",)");
    first.send(R"("id":"plain"})");
    second.send(R"("id":"wss"})");
    third.send(R"("id":"ws on TLS"})");
    EXPECT_EQ(parse(first.next()).value("id").toString(), "plain");
    EXPECT_EQ(parse(second.next()).value("id").toString(), "wss");
    EXPECT_EQ(parse(third.next()).value("id").toString(), "ws on TLS");

    // Stopping one leaves the other serving.
    EXPECT_TRUE(plain.agent().stopServer());
    EXPECT_TRUE(first.waitDisconnected());
    expectGetinfoRoundTrip(second, "after the plain agent stopped");
}

} // namespace
