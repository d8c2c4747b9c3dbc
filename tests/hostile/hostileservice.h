#pragma once

// The real service for the hostile-client tests: started as systemd starts it, with a
// public folder of its own and no players, and checked to hold both ports itself.

#include "eventwait.h"
#include "processprobe.h"
#include "serviceprocess.h"
#include "wsclient.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <optional>

namespace hostile {

constexpr quint16 kPlainPort = 8142;
constexpr quint16 kTlsPort = 8143;

inline const QByteArray kUnsupport = R"({"Text":"Unsupport","return":-5})";

inline QByteArray getinfoRequest(const QByteArray &idJson)
{
    return R"({"action":"Getinfo","id":)" + idJson + "}";
}

// True when the reply is Getinfo's answer to the request with that "id".
inline bool isGetinfoReply(const std::optional<QByteArray> &reply, const QByteArray &idJson)
{
    if (!reply)
        return false;
    const QJsonObject object = QJsonDocument::fromJson(*reply).object();
    const QJsonObject expectedId = QJsonDocument::fromJson("{\"id\":" + idJson + "}").object();
    return object.value(QLatin1String("action")) == QLatin1String("Getinfo")
           && object.value(QLatin1String("id")) == expectedId.value(QLatin1String("id"));
}

inline QByteArray shown(const std::optional<QByteArray> &reply)
{
    if (!reply)
        return "<no reply>";
    return reply->size() > 300 ? reply->left(300) + "...(" + QByteArray::number(reply->size()) + " bytes)" : *reply;
}

class HostileService
{
public:
    bool start()
    {
        if (!m_public.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return false;
        }
        e2e::ServiceOptions options;
        options.publicDir = m_public.path();
        // A service that loses a port to another process between the check for free ports
        // and its bind still starts, without that server: it must hold both, or start again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_service = std::make_unique<e2e::ServiceProcess>(options);
            if (!m_service->start(&m_error))
                return false;
            if (listensOn(m_service->pid(), kPlainPort) && listensOn(m_service->pid(), kTlsPort))
                return true;
            m_error = QStringLiteral("the ports 8142 and 8143 are not both held by the service under test");
            m_service->stop(e2e::scaledTimeout(30000));
        }
        return false;
    }

    e2e::ServiceProcess &process() { return *m_service; }
    qint64 pid() const { return m_service->pid(); }
    QString error() const { return m_error; }
    bool isRunning() const { return m_service && m_service->isRunning(); }

    qint64 residentKiB() const { return hostile::residentKiB(pid()).value_or(-1); }
    int openDescriptors() const { return hostile::openDescriptors(pid()); }

    // A well-behaved client gets its Getinfo answered on the port (plain ws://, or wss://).
    ::testing::AssertionResult serves(quint16 port, bool tls = false, int timeoutMs = 30000)
    {
        static int s_id = 1000;
        const QByteArray id = QByteArray::number(++s_id);
        e2e::WsClient client;
        if (!client.open(tls ? e2e::wssUrl(port) : e2e::wsUrl(port), {}, timeoutMs))
            return ::testing::AssertionFailure() << "cannot connect to " << port << ": "
                                                 << client.errorString().toStdString();
        const std::optional<QByteArray> reply = client.request(getinfoRequest(id), timeoutMs);
        if (!isGetinfoReply(reply, id))
            return ::testing::AssertionFailure() << "port " << port << " answered " << shown(reply).toStdString();
        return ::testing::AssertionSuccess();
    }

    // Ends the service with SIGTERM; it must exit with code 0 and no sanitizer report.
    void stop()
    {
        if (!m_service)
            return;
        if (m_service->isRunning()) {
            const bool exited = m_service->stop(e2e::scaledTimeout(30000));
            EXPECT_TRUE(exited) << "no exit within 30 s of SIGTERM";
            if (exited) {
                EXPECT_EQ(m_service->exitStatus(), QProcess::NormalExit);
                EXPECT_EQ(m_service->exitCode(), 0);
            }
        }
        EXPECT_EQ(m_service->sanitizerReports().toStdString(), std::string());
        m_service.reset();
    }

    // After a failure: the service's last records, each cut short (requests here run to MiBs).
    void dumpStderr(bool failed)
    {
        if (!m_service || !failed)
            return;
        std::cout << "--- service stderr (tail) ---\n";
        for (const QString &line : m_service->stderrTail(40).split(QLatin1Char('\n')))
            std::cout << (line.size() > 300 ? line.left(300) + QStringLiteral("...") : line).toStdString() << "\n";
        std::cout << "---\n";
    }

private:
    QTemporaryDir m_public;
    std::unique_ptr<e2e::ServiceProcess> m_service;
    QString m_error;
};

// What a test observed, for the report: printed and kept in the XML output.
inline void observe(const std::string &key, const std::string &value)
{
    std::cout << "[observed] " << key << ": " << value << std::endl;
    ::testing::Test::RecordProperty(key, value);
}

} // namespace hostile
