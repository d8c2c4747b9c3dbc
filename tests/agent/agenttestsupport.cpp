#include "agenttestsupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <gtest/gtest.h>

#include <mutex>

namespace agenttest {

namespace {

std::mutex g_recordsMutex;    // guards g_records: written by every thread that logs
QStringList g_records;
QtMessageHandler g_previousHandler = nullptr; // set once in installRecorder, before any thread

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        std::lock_guard<std::mutex> lock(g_recordsMutex);
        g_records.append(message);
    }
    if (qEnvironmentVariableIsSet("MIRVALE_TEST_VERBOSE") && g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

QString scratchFolder()
{
    static QTemporaryDir s_folder;
    return s_folder.path();
}

void installRecorder()
{
    g_previousHandler = qInstallMessageHandler(recordMessage);
}

QStringList records()
{
    std::lock_guard<std::mutex> lock(g_recordsMutex);
    return g_records;
}

int countRecords(const QString &prefix)
{
    int count = 0;
    for (const QString &record : records())
        count += record.startsWith(prefix) ? 1 : 0;
    return count;
}

void clearRecords()
{
    std::lock_guard<std::mutex> lock(g_recordsMutex);
    g_records.clear();
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer check; // the agent's worker logs from its own thread, which sends no signal here
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    guard.start(timeoutMs);
    check.start(5);
    loop.exec();
    return done();
}

quint16 freePort()
{
    static quint16 s_next = quint16(18142 + (QCoreApplication::applicationPid() % 200) * 20);
    for (int attempt = 0; attempt < 400; ++attempt) {
        const quint16 port = s_next++;
        if (s_next > 30000)
            s_next = 18142;
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return port;
    }
    ADD_FAILURE() << "no free port";
    return 0;
}

RunningAgent::RunningAgent(quint16 port, const std::string &cert, const std::string &key,
                           const std::string &passphrase)
    : m_port(port)
    , m_agent(new TessorAgent(port, cert, key, passphrase))
{
}

RunningAgent::~RunningAgent()
{
    // The order the service keeps: stop, let the thread finish, then delete both.
    m_agent->stopServer();
    if (m_thread)
        m_thread->wait();
    m_thread.reset();
    m_agent.reset();
}

bool RunningAgent::start(LaunchCallback launch)
{
    m_agent->setLaunchCallback(launch);
    if (!m_agent->createContext())
        return false;
    TessorAgent *agent = m_agent.get();
    m_thread.reset(QThread::create([agent] { agent->serviceLoop(); }));
    m_thread->start();
    return true;
}

Client::Client()
{
    connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) { m_messages.append(text); });
    connect(&m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this](QAbstractSocket::SocketError) { m_bFailed = true; });
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone); // the tests' certificates are self-signed
    m_socket.setSslConfiguration(tls);
}

bool Client::open(const QString &url, const QByteArray &subprotocol, int timeoutMs)
{
    QNetworkRequest request{QUrl(url)};
    if (!subprotocol.isEmpty())
        request.setRawHeader("Sec-WebSocket-Protocol", subprotocol);
    m_bFailed = false;
    m_socket.open(request);
    return waitUntil([this] { return connected() || m_bFailed; }, timeoutMs) && connected();
}

QString Client::next(int timeoutMs)
{
    if (!waitUntil([this] { return !m_messages.isEmpty(); }, timeoutMs))
        return QString();
    ++m_taken;
    return m_messages.takeFirst();
}

bool Client::waitDisconnected(int timeoutMs)
{
    return waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

QString plainUrl(quint16 port, const QString &host)
{
    return QString("ws://%1:%2/").arg(host).arg(port);
}

QString getinfo(const QJsonValue &id)
{
    QJsonObject request{{"action", "Getinfo"}};
    if (!id.isUndefined())
        request.insert("id", id);
    return QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact));
}

QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

void expectGetinfoRoundTrip(Client &client, const QString &id)
{
    client.send(getinfo(id));
    const QJsonObject reply = parse(client.next());
    EXPECT_EQ(reply.value("action").toString(), "Getinfo");
    EXPECT_EQ(reply.value("id").toString(), id);
}

bool makeCertificate(const QString &folder, const QString &passphrase, QString *certFile, QString *keyFile)
{
    *certFile = folder + "/server.crt";
    *keyFile = folder + "/server.key";
    if (QFile::exists(*certFile) && QFile::exists(*keyFile))
        return true;
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-days", "2", "-subj", "/CN=127.0.0.1",
                              "-keyout", *keyFile, "-out", *certFile, "-passout", "pass:" + passphrase});
    return openssl.waitForFinished(60000) && openssl.exitStatus() == QProcess::NormalExit
           && openssl.exitCode() == 0;
}

} // namespace agenttest
