#pragma once

// Shared by the end-to-end tests: the replies as the service must write them, and one
// running service with its fake players for a whole test suite.

#include "childprocesses.h"
#include "eventwait.h"
#include "fakeplayers.h"
#include "serviceprocess.h"
#include "wsclient.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#ifndef MIRVALE_E2E_FIXTURES
#error "MIRVALE_E2E_FIXTURES names the folder of the fake player script"
#endif

namespace e2e {

constexpr quint16 kPlainPort = 8142;
constexpr quint16 kTlsPort = 8143;

inline const QByteArray kUnsupport = R"({"Text":"Unsupport","return":-5})";
inline const QByteArray kBothPlayers = R"("vlc","potplayer")";

// applications: the inside of the "applications" array; id: JSON text, empty for none.
inline QByteArray getinfoReply(const QByteArray &applications, const QByteArray &id = {})
{
    return R"({"action":"Getinfo","applications":[)" + applications + "],"
           + (id.isEmpty() ? QByteArray() : R"("id":)" + id + ",")
           + R"("support":[{"arguments":["fullscreen","video-on-top","sub-file"],"display_name":"VLC","player":"vlc"},)"
             R"({"display_name":"PotPlayer","player":"potplayer"}],"version":"1.1.0.18025"})";
}

inline QByteArray getinfoRequest(const QByteArray &id = {})
{
    return id.isEmpty() ? QByteArray(R"({"action":"Getinfo"})")
                        : R"({"action":"Getinfo","id":)" + id + "}";
}

// subtitleResult: "download_subfile_result", absent when nullopt.
inline QByteArray playReply(const QByteArray &id, int result, std::optional<bool> subtitleResult = {})
{
    QByteArray reply = R"({"action":"Play",)";
    if (subtitleResult)
        reply += QByteArray(R"("download_subfile_result":)") + (*subtitleResult ? "true" : "false") + ",";
    return reply + R"("id":)" + id + R"(,"return":)" + QByteArray::number(result) + "}";
}

inline QString fakePlayerScript()
{
    return QStringLiteral(MIRVALE_E2E_FIXTURES "/fakeplayer.sh");
}

// One service for a test suite, with its own players, registry and public folder.
class SuiteService
{
public:
    bool start(ServiceOptions options)
    {
        players = std::make_unique<PlayerFixture>(fakePlayerScript());
        if (!players->isValid()) {
            error = QStringLiteral("cannot lay out the fake players");
            return false;
        }
        options.publicDir = players->publicDir();
        options.registryFile = players->registryFile();
        service = std::make_unique<ServiceProcess>(options);
        started = service->start(&error);
        return started;
    }

    // Ends the service the way systemd does and checks that it went cleanly; ends the
    // players that still linger.
    void stop()
    {
        if (service && started) {
            const bool exited = service->stop(scaledTimeout(20000));
            EXPECT_TRUE(exited) << "the service did not exit within 20 s of SIGTERM";
            if (exited) {
                EXPECT_EQ(service->exitStatus(), QProcess::NormalExit) << service->stderrTail();
                EXPECT_EQ(service->exitCode(), 0) << service->stderrTail();
            }
            EXPECT_EQ(service->sanitizerReports(), QString());
        }
        endPlayers();
        service.reset();
        players.reset();
    }

    void endPlayers()
    {
        if (!players)
            return;
        for (const QString &name : filesIn(players->recordDir())) {
            if (name.endsWith(QLatin1String(".rec")))
                endFakePlayer(QFileInfo(name).completeBaseName().toLongLong());
        }
    }

    std::unique_ptr<PlayerFixture> players;
    std::unique_ptr<ServiceProcess> service;
    QString error;
    bool started = false;
};

// After a failed test (or always, with MIRVALE_E2E_VERBOSE set): the service's last records.
inline void dumpStderr(const ServiceProcess *service, bool failed, int lines = 60)
{
    if (service && (failed || qEnvironmentVariableIsSet("MIRVALE_E2E_VERBOSE")))
        std::cout << "--- service stderr (tail) ---\n" << service->stderrTail(lines).toStdString() << "\n---\n";
}

// Opens a client or fails the current test.
#define E2E_OPEN(client, ...)                                                                      \
    ASSERT_TRUE((client).open(__VA_ARGS__)) << "cannot connect: " << (client).errorString().toStdString()

} // namespace e2e

// Readable QByteArray/QString values in gtest messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"' << bytes.left(600).toStdString() << (bytes.size() > 600 ? "...(" + std::to_string(bytes.size()) + " bytes)" : std::string()) << '"';
}
inline void PrintTo(const QString &text, std::ostream *os)
{
    PrintTo(text.toUtf8(), os);
}
inline std::ostream &operator<<(std::ostream &os, const QString &text)
{
    return os << text.toStdString();
}
inline std::ostream &operator<<(std::ostream &os, const QByteArray &bytes)
{
    return os << bytes.toStdString();
}
inline void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '[';
    for (int i = 0; i < list.size(); ++i)
        *os << (i ? ", " : "") << '"' << list.at(i).toStdString() << '"';
    *os << ']';
}
QT_END_NAMESPACE

namespace e2e {

// A reply, or a text that names its absence (compared like any other reply).
inline QByteArray orNone(const std::optional<QByteArray> &reply)
{
    return reply ? *reply : QByteArray("<no reply within the time-out>");
}

} // namespace e2e
