// Load benchmark client: N WebSocket connections spread over ports 8142 (ws://) and 8143
// (wss://) of a running service, each sending K Getinfo requests one after another, or, in
// "connect" mode, each opening, asking one Getinfo and closing. In "deaf" mode N plain
// connections each send K Getinfo requests with a 1 MB id and never read a reply, while one
// more client sends its K requests as in "requests" mode; the run goes on until the service has
// closed every deaf connection, or for 45 s. Prints one result line.
//
//   mirvale_loadbench --connections 50 --requests 10 [--mode requests|connect|deaf] [--pid PID]
//                     [--deadline 300] [--header]
//
// With --pid, the service's resident memory and CPU time are read from /proc before, during
// and after the run. Loopback only: the service is meant to be measured on this machine.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslError>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

struct ProcessSample {
    bool valid = false;
    double rssMiB = 0;
    double cpuSeconds = 0; // user + system since the process started
};

ProcessSample sampleProcess(qint64 pid)
{
    ProcessSample sample;
    if (pid <= 0)
        return sample;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!status.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
        return sample;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            sample.rssMiB = line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    // The command name may hold spaces; the fields after its closing parenthesis do not.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() > 12) {
        const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
        sample.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) / ticks; // utime, stime
        sample.valid = true;
    }
    return sample;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t rank = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

struct Totals {
    int sent = 0;
    int replies = 0;
    int badReplies = 0;
    int refused = 0; // never connected
    int dropped = 0; // connected, then lost before its last reply
    int finished = 0;
    bool verbose = false;
    bool anyReply = false; // a yardstick that answers a fixed text
    std::vector<double> latencyMs;
    std::vector<double> setupMs;
    std::vector<double> totalMs; // from open to the last reply
};

// One client connection and its sequence of requests.
class Client : public QObject
{
public:
    Client(int index, const QUrl &url, int requests, Totals &totals)
        : m_index(index), m_requests(requests), m_totals(totals)
    {
        connect(&m_socket, &QWebSocket::connected, this, &Client::onConnected);
        connect(&m_socket, &QWebSocket::disconnected, this, &Client::onDisconnected);
        connect(&m_socket, &QWebSocket::textMessageReceived, this, &Client::onReply);
        connect(&m_socket, QOverload<const QList<QSslError> &>::of(&QWebSocket::sslErrors), this,
                [this](const QList<QSslError> &) { m_socket.ignoreSslErrors(); }); // self-signed
        m_clock.start();
        m_socket.open(url);
    }

    bool done() const { return m_done; }

    // The run's deadline passed: count what is still open as lost.
    void abandon()
    {
        if (m_done)
            return;
        finish(m_connected ? &Totals::dropped : &Totals::refused);
        m_socket.abort();
    }

private:
    void onConnected()
    {
        m_connected = true;
        m_totals.setupMs.push_back(m_clock.nsecsElapsed() / 1e6);
        sendNext();
    }

    void sendNext()
    {
        QJsonObject request{{QStringLiteral("action"), QStringLiteral("Getinfo")},
                            {QStringLiteral("id"), m_index * 100000 + m_sent}};
        ++m_sent;
        ++m_totals.sent;
        m_requestClock.start();
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
    }

    void onReply(const QString &text)
    {
        const double latency = m_requestClock.nsecsElapsed() / 1e6;
        m_totals.latencyMs.push_back(latency);
        if (m_totals.verbose && latency > 1100)
            std::fprintf(stderr, "slow reply: connection %d (%s), request %d of %d: %.0f ms\n", m_index,
                         qPrintable(m_socket.requestUrl().toString()), m_sent, m_requests, latency);
        ++m_totals.replies;
        const QJsonObject reply = QJsonDocument::fromJson(text.toUtf8()).object();
        if (reply.value(QLatin1String("action")) != QLatin1String("Getinfo")
            || (!m_totals.anyReply && reply.value(QLatin1String("id")).toInt(-1) != m_index * 100000 + m_sent - 1))
            ++m_totals.badReplies;
        if (m_sent < m_requests) {
            sendNext();
            return;
        }
        m_totals.totalMs.push_back(m_clock.nsecsElapsed() / 1e6);
        finish(&Totals::finished);
        m_socket.close();
    }

    void onDisconnected()
    {
        if (!m_done)
            finish(m_connected ? &Totals::dropped : &Totals::refused);
    }

    void finish(int Totals::*counter)
    {
        m_done = true;
        ++(m_totals.*counter);
    }

    QWebSocket m_socket;
    QElapsedTimer m_clock;
    QElapsedTimer m_requestClock;
    const int m_index;
    const int m_requests;
    int m_sent = 0;
    bool m_connected = false;
    bool m_done = false;
    Totals &m_totals;
};

// A client that sends requests and never reads what comes back: its socket's receive buffer
// fills and the service can send it nothing more. Frames are written by hand, masked.
class DeafClient : public QObject
{
public:
    DeafClient(quint16 port, int requests, Totals &totals) : m_requests(requests), m_totals(totals)
    {
        m_socket.setReadBufferSize(1); // Qt stops reading the socket once this is full
        connect(&m_socket, &QTcpSocket::connected, this, [this, port] {
            m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            m_socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
                           + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        });
        // The first byte of the answer: the handshake is through.
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            if (m_flooded)
                return;
            m_flooded = true;
            const QByteArray frame = maskedTextFrame(R"({"action":"Getinfo","id":")" + QByteArray(1000 * 1000, 'x') + R"("})");
            for (int i = 0; i < m_requests; ++i) {
                m_socket.write(frame);
                ++m_totals.sent;
            }
        });
        connect(&m_socket, &QTcpSocket::disconnected, this, [this] { m_closed = true; });
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    }

    // Qt notices a close only by reading, which this client never does: the kernel tells.
    bool closed()
    {
        if (!m_closed && m_socket.socketDescriptor() >= 0) {
            pollfd entry{int(m_socket.socketDescriptor()), POLLRDHUP, 0};
            m_closed = ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR));
        }
        return m_closed;
    }

private:
    static QByteArray maskedTextFrame(const QByteArray &payload)
    {
        QByteArray frame;
        frame.append(char(0x81));
        frame.append(char(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(char((quint64(payload.size()) >> shift) & 0xFF));
        const char mask[4] = {0x12, 0x34, 0x56, 0x78};
        frame.append(mask, 4);
        for (int i = 0; i < payload.size(); ++i)
            frame.append(char(payload[i] ^ mask[i % 4]));
        return frame;
    }

    QTcpSocket m_socket;
    const int m_requests;
    Totals &m_totals;
    bool m_flooded = false;
    bool m_closed = false;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Load benchmark for the Mirvale WebSocket service"));
    parser.addHelpOption();
    const QCommandLineOption connectionsOption(QStringLiteral("connections"), QStringLiteral("Connections (N)."),
                                               QStringLiteral("n"), QStringLiteral("50"));
    const QCommandLineOption requestsOption(QStringLiteral("requests"), QStringLiteral("Getinfo requests per connection (K)."),
                                            QStringLiteral("k"), QStringLiteral("10"));
    const QCommandLineOption modeOption(QStringLiteral("mode"), QStringLiteral("requests, connect or deaf."),
                                        QStringLiteral("mode"), QStringLiteral("requests"));
    const QCommandLineOption pidOption(QStringLiteral("pid"), QStringLiteral("The service's process id."),
                                       QStringLiteral("pid"), QStringLiteral("0"));
    const QCommandLineOption deadlineOption(QStringLiteral("deadline"), QStringLiteral("Give up after this many seconds."),
                                            QStringLiteral("s"), QStringLiteral("300"));
    const QCommandLineOption plainOption(QStringLiteral("plain-port"), QStringLiteral("ws:// port (0: wss only)."),
                                         QStringLiteral("port"), QString::number(MIRVALE_PLAIN_PORT));
    const QCommandLineOption tlsOption(QStringLiteral("tls-port"), QStringLiteral("wss:// port (0: plain only)."),
                                       QStringLiteral("port"), QString::number(MIRVALE_TLS_PORT));
    const QCommandLineOption headerOption(QStringLiteral("header"), QStringLiteral("Print the column names first."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"), QStringLiteral("Name every reply slower than 1.1 s."));
    const QCommandLineOption labelOption(QStringLiteral("label"), QStringLiteral("What is measured, first column."),
                                         QStringLiteral("text"), QStringLiteral("service"));
    const QCommandLineOption anyReplyOption(QStringLiteral("any-reply"),
                                            QStringLiteral("Count any Getinfo reply as right (a fixed-text yardstick)."));
    parser.addOptions({connectionsOption, requestsOption, modeOption, pidOption, deadlineOption, plainOption,
                       tlsOption, headerOption, verboseOption, labelOption, anyReplyOption});
    parser.process(app);

    const int connections = std::max(1, parser.value(connectionsOption).toInt());
    const bool connectMode = parser.value(modeOption) == QLatin1String("connect");
    const bool deafMode = parser.value(modeOption) == QLatin1String("deaf");
    const int requests = connectMode ? 1 : std::max(1, parser.value(requestsOption).toInt());
    const qint64 pid = parser.value(pidOption).toLongLong();
    const int deadlineMs = std::max(1, parser.value(deadlineOption).toInt()) * 1000;
    const int plainPort = parser.value(plainOption).toInt();
    const int tlsPort = parser.value(tlsOption).toInt();

    if (parser.isSet(headerOption))
        std::printf("%-10s %-8s %5s %3s %7s %7s %4s %7s %7s %8s %8s %8s %8s %8s %8s %8s %9s %9s %9s %8s %7s\n", "server",
                    "mode", "N", "K", "sent", "replies", "bad", "refused", "dropped", "p50_ms", "p99_ms", "max_ms",
                    "setup50", "setupmax", "whole50", "whole99", "rss0_MiB", "rssmax_MiB", "rss1_MiB", "cpu_s", "wall_s");

    Totals totals;
    totals.verbose = parser.isSet(verboseOption);
    totals.anyReply = parser.isSet(anyReplyOption);
    const ProcessSample before = sampleProcess(pid);
    double peakRss = before.rssMiB;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] { peakRss = std::max(peakRss, sampleProcess(pid).rssMiB); });
    sampler.start(200);

    QElapsedTimer wall;
    wall.start();
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::unique_ptr<DeafClient>> deafClients;
    Totals deafTotals;
    if (deafMode) {
        for (int i = 0; i < connections; ++i)
            deafClients.push_back(std::make_unique<DeafClient>(quint16(plainPort), requests, deafTotals));
        // The one that reads, on the same port.
        clients.push_back(std::make_unique<Client>(0, QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(plainPort)), requests, totals));
    } else {
        clients.reserve(static_cast<std::size_t>(connections));
        for (int i = 0; i < connections; ++i) {
            const bool tls = tlsPort > 0 && (plainPort == 0 || i % 2 == 1);
            const QUrl url(QStringLiteral("%1://127.0.0.1:%2/").arg(tls ? "wss" : "ws").arg(tls ? tlsPort : plainPort));
            clients.push_back(std::make_unique<Client>(i, url, requests, totals));
        }
    }
    const int deafDeadlineMs = std::min(deadlineMs, 45000);

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const bool allDone = std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->done(); })
                             && (std::all_of(deafClients.begin(), deafClients.end(), [](auto &c) { return c->closed(); })
                                 || wall.elapsed() > deafDeadlineMs);
        if (allDone || wall.elapsed() > deadlineMs) {
            for (auto &client : clients)
                client->abandon();
            app.quit();
        }
    });
    poll.start(20);
    app.exec();
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    clients.clear();
    if (deafMode) {
        // sent: what the deaf clients wrote; dropped: those the service closed.
        totals.dropped = int(std::count_if(deafClients.begin(), deafClients.end(), [](auto &c) { return c->closed(); }));
        totals.refused = 0;
        deafClients.clear();
    }

    // Let the service notice the closes before "after" is read.
    QTimer::singleShot(3000, &app, &QCoreApplication::quit);
    app.exec();
    const ProcessSample after = sampleProcess(pid);
    peakRss = std::max(peakRss, after.rssMiB);

    std::printf("%-10s %-8s %5d %3d %7d %7d %4d %7d %7d %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %8.1f %9.1f %9.1f %9.1f %8.2f %7.1f\n",
                qPrintable(parser.value(labelOption)), deafMode ? "deaf" : connectMode ? "connect" : "requests", connections,
                requests, deafMode ? deafTotals.sent : totals.sent, totals.replies,
                totals.badReplies, totals.refused, totals.dropped, percentile(totals.latencyMs, 0.5),
                percentile(totals.latencyMs, 0.99),
                totals.latencyMs.empty() ? 0.0 : *std::max_element(totals.latencyMs.begin(), totals.latencyMs.end()),
                percentile(totals.setupMs, 0.5),
                totals.setupMs.empty() ? 0.0 : *std::max_element(totals.setupMs.begin(), totals.setupMs.end()),
                percentile(totals.totalMs, 0.5), percentile(totals.totalMs, 0.99), before.rssMiB, peakRss, after.rssMiB,
                before.valid && after.valid ? after.cpuSeconds - before.cpuSeconds : 0.0, wallSeconds);
    return totals.replies == totals.sent && totals.badReplies == 0 && (!deafMode || totals.replies == requests) ? 0 : 1;
}
