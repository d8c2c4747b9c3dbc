// A subtitle server that accepts and never answers: the download gives up once nothing has come
// for its low-speed time (10 s), the player starts without the subtitle, and meanwhile the other
// port keeps serving.

#include "expected.h"
#include "fixtures/files.h"
#include "network/eventwait.h"
#include "network/httptestserver.h"
#include "network/wsclient.h"
#include "qtprinters.h"
#include "service/serviceprocess.h"

#include <QElapsedTimer>

using namespace testsupport;

namespace {

TEST(SubtitleStallE2E, StalledDownloadEndsAtItsBoundWhileTheOtherPortServes)
{
    HttpTestServer http;
    ASSERT_TRUE(http.isListening());
    http.setRoute("/stall.srt", {200, {}, {}, true});
    ServiceProcess service;
    ServiceOptions options;
    options.arguments = QStringList{QStringLiteral("-e"), QStringLiteral("x")};
    ASSERT_TRUE(service.start(options)) << service.error().toStdString();
    WsClient stalled;
    ASSERT_OPEN(stalled, wsUrl(kPlainPort));
    WsClient other;
    ASSERT_OPEN(other, wsUrl(kTlsPort));
    RecordWatcher records(service.players().recordDir());

    QElapsedTimer timer;
    timer.start();
    stalled.sendText(R"({"action":"Play","application":"vlc","id":1,"params":{"files":[{"url":"http://nas/a.mkv","sub-file":")"
                     + http.url("/stall.srt") + R"("}]}})");
    ASSERT_TRUE(waitUntil([&] { return http.hits("/stall.srt") == 1; }, scaledTimeout(10000)))
        << "the download never reached the server";
    QElapsedTimer stall;
    stall.start();

    // While port 8142's agent waits for the download, 8143's answers.
    for (int id = 1; id <= 2; ++id) {
        EXPECT_EQ(orNone(other.request(getinfoRequest(QByteArray::number(id)))),
                  getinfoReply(kBothPlayers, QByteArray::number(id)));
    }
    EXPECT_EQ(stalled.received(), 0) << "answered before the download ended";

    const QByteArray reply = orNone(stalled.nextMessage(scaledTimeout(90000)));
    std::cout << "[ measure  ] Play with a stalled subtitle server answered after " << timer.elapsed() << " ms\n";
    // Held for the low-speed time, not for the whole transfer's 60 s.
    EXPECT_GE(stall.elapsed(), 9000);
    EXPECT_LT(stall.elapsed(), 45000);
    EXPECT_EQ(reply, playReply("1", 0, false));
    const auto record = records.next();
    ASSERT_TRUE(record) << "the player did not start";
    EXPECT_EQ(record->arguments.size(), 2) << record->arguments.join(' ').toStdString();
    EXPECT_EQ(record->arguments.value(1), "--video-on-top");
    EXPECT_EQ(fileNames(service.players().subtitleDir()), QStringList()) << "a partial subtitle file was left";

    service.dumpStderr(HasFailure());
    service.expectCleanStop();
}

} // namespace
