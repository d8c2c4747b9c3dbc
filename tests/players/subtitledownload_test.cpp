#include "players/subtitledownload.h"

#include "fixtures/files.h"
#include "network/httptestserver.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <future>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::HttpTestServer;

namespace {

constexpr int kLimit = 16 * 1024 * 1024;
const char kOkText[] = "1\r\n00:00:01,000 --> 00:00:02,000\r\nH\xC3\xA9llo\0\xFF\n";
const QByteArray kOkBody(kOkText, sizeof(kOkText) - 1);

// The routes of the download tests; "/stall" never answers.
void addRoutes(HttpTestServer &server)
{
    server.setRoute("/ok", {200, kOkBody});
    server.setRoute("/empty", {200, {}});
    server.setRoute("/missing", {404, "<html><body>Not Found</body></html>"});
    server.setRoute("/redirect", {302, "moved", {{"Location", "/ok"}}});
    server.setRoute("/exact", {200, QByteArray(kLimit, 's')});
    server.setRoute("/big", {200, QByteArray(kLimit + 1, 's')});
    server.setRoute("/big-unsized", {200, QByteArray(kLimit + 1, 's'), {}, false, false});
    server.setRoute("/short", {200, "0123456789", {{"Content-Length", "100"}}, false, false});
    server.setRoute("/stall", {200, {}, {}, true});
    // A byte every 100 ms: alive, but far slower than 1 KiB/s.
    server.setRoute("/trickle", {200, QByteArray(4096, 't'), {}, false, true, 100});
}

class SubtitleDownload : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_server = new HttpTestServer;
        addRoutes(*s_server);
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    QByteArray target(const char *name = "090503042.srt") const { return m_dir.filePath(name).toUtf8(); }

    static QByteArray contents(const QByteArray &path) { return testsupport::readFile(QString::fromUtf8(path)); }

    static HttpTestServer *s_server;
    QTemporaryDir m_dir;
};

HttpTestServer *SubtitleDownload::s_server = nullptr;

// A port with a bound socket that does not listen: connections to it are refused at once.
class RefusingPort {
public:
    RefusingPort()
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr *>(&address), length) == 0
            && ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(m_socket); }
    int port() const { return m_port; }

private:
    int m_socket = -1;
    int m_port = 0;
};

} // namespace

TEST_F(SubtitleDownload, CompleteBodyIsWrittenExactly)
{
    ASSERT_TRUE(downloadSubFile(s_server->url("/ok"), target()));
    EXPECT_EQ(contents(target()), kOkBody);

    ASSERT_TRUE(downloadSubFile(s_server->url("/empty"), target("empty.srt")));
    EXPECT_EQ(contents(target("empty.srt")), QByteArray(""));

    // The limit itself is allowed.
    ASSERT_TRUE(downloadSubFile(s_server->url("/exact"), target("exact.srt")));
    EXPECT_EQ(QFileInfo(QString::fromUtf8(target("exact.srt"))).size(), 16 * 1024 * 1024);
}

TEST_F(SubtitleDownload, FailedTransfersLeaveNoFile)
{
    const RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    QFile local(m_dir.filePath(QStringLiteral("local.srt")));
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write("local subtitle");
    local.close();

    const struct {
        const char *what;
        QByteArray url;
    } rows[] = {
        {"error status", s_server->url("/missing")},
        {"redirect, not followed", s_server->url("/redirect")},
        {"body over 16 MiB with a length", s_server->url("/big")},
        {"body over 16 MiB without a length", s_server->url("/big-unsized")},
        {"connection closed early", s_server->url("/short")},
        {"connection refused", "http://127.0.0.1:" + QByteArray::number(refusing.port()) + "/ok"},
        {"file url", QUrl::fromLocalFile(local.fileName()).toEncoded()},
        {"other protocol", "ftp://127.0.0.1:" + QByteArray::number(refusing.port()) + "/ok"},
        {"no url at all", "not a url"},
        {"empty url", ""},
    };
    for (const auto &row : rows) {
        EXPECT_FALSE(downloadSubFile(row.url.constData(), target())) << row.what;
        EXPECT_FALSE(QFile::exists(QString::fromUtf8(target()))) << row.what;
    }
    EXPECT_FALSE(downloadSubFile(nullptr, target()));
}

TEST_F(SubtitleDownload, OnlyHttpAndHttpsAreSpoken)
{
    // Another protocol never even connects. Connections are accepted in order, so once the
    // request below has arrived, any connection made before it has been counted.
    const int before = s_server->connectionCount();
    SubFileLimits limits;
    limits.totalTimeoutMs = 2000;
    QByteArray dict = s_server->url("/d:word");
    dict.replace("http://", "dict://");
    EXPECT_FALSE(downloadSubFile(dict.constData(), target(), nullptr, limits));
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(target())));
    ASSERT_TRUE(downloadSubFile(s_server->url("/ok"), target()));
    ASSERT_TRUE(s_server->waitForRequest("/ok", 10s));
    EXPECT_EQ(s_server->connectionCount(), before + 1);
    EXPECT_FALSE(downloadSubFile(s_server->url("/ok"), nullptr));
}

TEST_F(SubtitleDownload, TargetMustBeNew)
{
    // An existing file is never overwritten or removed.
    QFile existing(QString::fromUtf8(target()));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("older and longer than the download would be");
    existing.close();
    EXPECT_FALSE(downloadSubFile(s_server->url("/ok"), target()));
    EXPECT_EQ(contents(target()), QByteArray("older and longer than the download would be"));

    // A missing folder is no place to write.
    EXPECT_FALSE(downloadSubFile(s_server->url("/ok"), target("missing/090503042.srt")));
    EXPECT_FALSE(QDir(m_dir.filePath(QStringLiteral("missing"))).exists());
}

TEST_F(SubtitleDownload, StalledServerIsLeftBehind)
{
    // Cancelled from another thread, as stopping the agent does.
    std::atomic<bool> cancel{false};
    auto download = std::async(std::launch::async, [&] {
        return downloadSubFile(s_server->url("/stall"), target(), &cancel);
    });
    ASSERT_TRUE(s_server->waitForRequest("/stall", 10s));
    EXPECT_TRUE(QFile::exists(QString::fromUtf8(target()))) << "created while the transfer runs";
    cancel = true;
    ASSERT_EQ(download.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(download.get());
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(target())));

    // A flag set before the call: nothing is created.
    EXPECT_FALSE(downloadSubFile(s_server->url("/ok"), target(), &cancel));
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(target())));

    // The whole transfer is bounded in time.
    SubFileLimits limits;
    limits.totalTimeoutMs = 300;
    EXPECT_FALSE(downloadSubFile(s_server->url("/stall"), target(), nullptr, limits));
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(target())));
}

// A server that keeps sending, too slowly, is left behind once the rate has stayed low for the
// low-speed time, long before the whole transfer's time-out.
TEST_F(SubtitleDownload, TooSlowAServerIsLeftBehind)
{
    SubFileLimits limits;
    limits.lowSpeedSeconds = 1;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(downloadSubFile(s_server->url("/trickle"), target(), nullptr, limits));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "held for the whole transfer";
    EXPECT_FALSE(QFile::exists(QString::fromUtf8(target())));
}

TEST_F(SubtitleDownload, TlsCertificatesAreNotChecked)
{
    // A self-signed certificate for another host name, as on a small home server.
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        GTEST_SKIP() << "no openssl to make a certificate";
    QString certificate;
    QString key;
    ASSERT_TRUE(testsupport::makeCertificate(m_dir.path(), {}, &certificate, &key, "other.example"));
    HttpTestServer tlsServer(certificate, key);
    addRoutes(tlsServer);
    ASSERT_TRUE(downloadSubFile(tlsServer.url("/ok"), target()));
    EXPECT_EQ(contents(target()), kOkBody);
    EXPECT_FALSE(downloadSubFile(tlsServer.url("/missing"), target("missing.srt")));
}

TEST(SubtitleWrite, WritesAllOrReportsTheDevice)
{
    QByteArray sink;
    QBuffer buffer(&sink);
    char data[] = "abcdef";
    EXPECT_EQ(writeSubFileData(data, 1, 6, &buffer), -1) << "device not open";
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly));
    EXPECT_EQ(writeSubFileData(data, 2, 3, &buffer), 6);
    EXPECT_EQ(writeSubFileData(data, 1, 0, &buffer), 0);
    EXPECT_EQ(writeSubFileData(data, SIZE_MAX, 2, &buffer), -1) << "overflowing size";
    EXPECT_EQ(writeSubFileData(data, 1, 1, nullptr), -1);
    EXPECT_EQ(sink, QByteArray("abcdef"));
}
