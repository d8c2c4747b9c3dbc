#include "agent/tessoragent.h"

#include "agent/connectpage.h"
#include "agent/logexcerpt.h"
#include "agent/originpolicy.h"
#include "base/constants.h"
#include "players/playertable.h"
#include "players/subtitledownload.h"
#include "players/workingfolders.h"
#include "protocol/envelope.h"
#include "protocol/play.h"
#include "protocol/unsupport.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDebug>
#include <QMetaObject>

#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <optional>
#include <thread>
#include <vector>

#if defined(Q_OS_LINUX)
#include <pthread.h>
#endif

#if defined(Q_OS_WIN)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t kRequestPieceBytes = 40960;
// libwebsockets 4.1 reads a socket in chunks of at most this size and delivers received frames
// in pieces no larger; with its default of 4096 a 40 KiB request would take eleven passes.
constexpr unsigned int kServiceBufferBytes = 64 * 1024;
// libwebsockets 4.1 hands at most this much of a frame to one send() (0 means the receive
// buffer size) and sends the rest on later passes; a reply should reach the socket whole.
constexpr size_t kReplySendBytes = size_t(16) << 20;
constexpr int kServiceWaitMs = 50;
#if defined(Q_OS_WIN)
// On Windows libwebsockets 4.1 serves one socket's events per call (the first signalled of its
// event objects): accepting a connection, reading its handshake and reading its first frame
// take a call each. A pass calls again while it is woken before its bound, up to this many
// times, so that what has arrived is served in the pass rather than one step per second.
constexpr int kCallsPerPass = 32;
#else
// Elsewhere one call serves every socket that is ready.
constexpr int kCallsPerPass = 1;
#endif
constexpr auto kPassSleep = std::chrono::seconds(1);

// The context's user pointer is the agent; the protocol entries' user pointers are not
// handed to connections of every entry by libwebsockets 4.1.
TessorAgent *agentOf(lws *wsi)
{
    if (!wsi)
        return nullptr;
    lws_context *context = lws_get_context(wsi);
    return context ? static_cast<TessorAgent *>(lws_context_user(context)) : nullptr;
}

// A short text answer, after which the connection closes.
int answerHttp(lws *wsi, unsigned int status, const std::string &answer)
{
    unsigned char buffer[LWS_PRE + 512];
    unsigned char *start = buffer + LWS_PRE;
    unsigned char *p = start;
    unsigned char *end = buffer + sizeof buffer - 1;
    const size_t length = answer.size();
    static const unsigned char kClose[] = "close";
    if (lws_add_http_common_headers(wsi, status, "text/plain", length, &p, end)
        || lws_add_http_header_by_token(wsi, WSI_TOKEN_CONNECTION, kClose, sizeof kClose - 1, &p, end)
        || lws_finalize_write_http_header(wsi, start, &p, end)
        || size_t(end - start) < length)
        return -1;
    // The headers are out; the body goes in the same buffer.
    std::memcpy(start, answer.data(), length);
    lws_write(wsi, start, length, LWS_WRITE_HTTP_FINAL);
    // Non-zero closes the connection once the answer is out.
    return -1;
}

// The text of a header, or nothing when the request has none.
std::optional<std::string> headerText(lws *wsi, lws_token_indexes token)
{
    const int length = lws_hdr_total_length(wsi, token);
    if (length <= 0)
        return std::nullopt;
    std::string text(size_t(length) + 1, '\0');
    if (lws_hdr_copy(wsi, &text[0], length + 1, token) < 0)
        return std::nullopt;
    text.resize(std::strlen(text.c_str()));
    return text;
}

// Ends the application's event loop with code 0 from any thread: a queued call runs the exit on
// the thread of the application object. (Named in tests/sanitizers/tsan.supp.)
Q_NEVER_INLINE void requestApplicationExit()
{
    if (QCoreApplication *application = QCoreApplication::instance())
        QMetaObject::invokeMethod(application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

// Whether an IPv6 socket can be bound to ::1 here.
bool hasIpv6Loopback()
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
#if defined(Q_OS_WIN)
    const SOCKET fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    if (fd == INVALID_SOCKET)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::closesocket(fd);
#else
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
#endif
    return bound;
}

void serviceBoundReached(lws_sorted_usec_list_t *)
{
    // Only its firing matters: it ends the poll inside lws_service.
}

void nameWorkerThread(int port)
{
#if defined(Q_OS_LINUX)
    char name[16];
    std::snprintf(name, sizeof name, "agent-%d", port);
    pthread_setname_np(pthread_self(), name);
#else
    Q_UNUSED(port);
#endif
}

} // namespace

void lwsl_syslog(int level, const char *line)
{
    // The library ends its lines with a newline; the debug stream adds its own.
    QByteArray text(line ? line : "");
    if (text.endsWith('\n'))
        text.chop(1);
    qDebug() << "lwsl_syslog level:" << level << "line:" << text.constData();
}

std::string peerAddress(lws *connection)
{
    char ip[128] = {};
    if (!connection || !lws_get_peer_simple(connection, ip, sizeof ip))
        return std::string();
    // The listening socket is dual-stack: an IPv4 peer arrives as ::ffff:a.b.c.d.
    static const char kMapped[] = "::ffff:";
    if (std::strncmp(ip, kMapped, sizeof kMapped - 1) == 0 && std::strchr(ip, '.'))
        return std::string(ip + sizeof kMapped - 1);
    return std::string(ip);
}

bool isLocalPeer(lws *connection)
{
    return peerAddress(connection) == "127.0.0.1";
}

int Tessor_service_callback(lws *wsi, lws_callback_reasons reason, void *, void *in, size_t len)
{
    TessorAgent *agent = agentOf(wsi);
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        qDebug() << "Tessor_service_callback LWS_CALLBACK_ESTABLISHED";
        if (agent && isLocalPeer(wsi))
            agent->OnConnected(wsi);
        break;
    case LWS_CALLBACK_RECEIVE:
        if (agent)
            agent->receivePiece(wsi, static_cast<const char *>(in), len);
        break;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        // Nothing is queued here: replies are written at once. The library reports writeable
        // after flushing a reply it had to buffer; asking again keeps the connection polled.
        lws_callback_on_writable(wsi);
        break;
    case LWS_CALLBACK_HTTP:
        // Left unanswered, a browser opening the address would hang.
        return answerHttpRequest(wsi, static_cast<const char *>(in));
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
        // Accepted by the kernel, not yet by the library: non-zero closes it at once.
        return agent && !agent->admitConnection() ? 1 : 0;
    case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
        // Every WebSocket handshake passes here on entry 0, whichever protocol it names, before
        // the protocol is chosen and its callback hears of the connection.
        return agent ? agent->confirmUpgrade(wsi) : 0;
    case LWS_CALLBACK_WSI_CREATE:
        // Every accepted connection is created through here; the listening socket is not.
        if (agent)
            agent->m_connections.try_emplace(wsi, &agent->m_budget);
        break;
    case LWS_CALLBACK_WSI_DESTROY:
        if (agent && agent->m_connections.erase(wsi))
            agent->onDisconnected(wsi);
        break;
    default:
        break;
    }
    return 0;
}

int mutex_service_callback(lws *wsi, lws_callback_reasons reason, void *, void *, size_t)
{
    if (reason != LWS_CALLBACK_ESTABLISHED)
        return 0;
    qDebug() << "mutex_service_callback LWS_CALLBACK_ESTABLISHED";
    if (TessorAgent *agent = agentOf(wsi))
        agent->requestStop();
    requestApplicationExit();
    return 0;
}

int liveview_service_callback(lws *, lws_callback_reasons, void *, void *, size_t)
{
    return 0;
}

TessorAgent::TessorAgent(quint16 port, const std::string &certFile, const std::string &keyFile,
                         const std::string &keyPassphrase)
    : QObject(nullptr)
    , m_bStop(false)
    , m_nPort(port)
    , m_pContext(nullptr)
    , m_fileCert(certFile)
    , m_filePrivateKey(keyFile)
    , m_keyPassphrase(keyPassphrase)
    , m_bInLoop(false)
    , m_bAtConnectionLimit(false)
    , m_nPiecesThisCall(0)
{
    std::memset(m_protocols, 0, sizeof m_protocols);
    std::memset(&m_info, 0, sizeof m_info);
    std::memset(&m_serviceBound, 0, sizeof m_serviceBound);
    clearWorkingFolders();
    initCurlGlobally();
    refreshPlayerPaths();
}

TessorAgent::~TessorAgent()
{
    stopServer();
}

void TessorAgent::setLaunchCallback(LaunchCallback fn)
{
    m_playerSlot.setLaunchCallback(fn);
}

void TessorAgent::setOptions(const AgentOptions &options)
{
    m_options = options;
}

bool TessorAgent::createContext()
{
    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        if (m_pContext)
            return false;
    }

    // The mask is process-wide; setting it again while another agent's worker logs would race.
    static std::once_flag s_logLevelSet;
    std::call_once(s_logLevelSet, [] { lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, lwsl_syslog); });

    std::memset(m_protocols, 0, sizeof m_protocols);
    m_protocols[0].name = "42689.2";
    m_protocols[0].callback = Tessor_service_callback;
    m_protocols[0].rx_buffer_size = kRequestPieceBytes;
    m_protocols[0].user = this;
    m_protocols[0].tx_packet_size = kReplySendBytes;
    m_protocols[1].name = "mutex";
    m_protocols[1].callback = mutex_service_callback;
    m_protocols[1].user = this;
    m_protocols[2].name = "brelant-liveview";
    m_protocols[2].callback = liveview_service_callback;
    m_protocols[2].user = this;

    m_info.port = m_nPort;
    m_info.iface = nullptr;
    m_info.protocols = m_protocols;
    m_info.extensions = nullptr;
    m_info.ssl_private_key_password = m_keyPassphrase.empty() ? nullptr : m_keyPassphrase.c_str();
    m_info.ssl_cert_filepath = m_fileCert.empty() ? nullptr : m_fileCert.c_str();
    m_info.ssl_private_key_filepath = m_filePrivateKey.empty() ? nullptr : m_filePrivateKey.c_str();
    m_info.ssl_ca_filepath = nullptr;
    m_info.ssl_cipher_list = kCipherList;
    m_info.ssl_options_set = SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1;
    // 4.1 would offer HTTP/2 through ALPN; the service speaks WebSocket over HTTP/1.1 only.
    m_info.alpn = "http/1.1";
    m_info.gid = -1;
    m_info.uid = -1;
    // Without the middle flag libwebsockets 4.1 drops plain ws:// on the TLS port.
    m_info.options = LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT
                     | LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER
                     | LWS_SERVER_OPTION_VALIDATE_UTF8;
    m_info.user = this;
    // A header slot for every connection the agent admits: with the library's 16, stalled
    // handshakes queued real clients behind them for the whole time-out.
    m_info.max_http_header_pool = kMaxConnections;
    m_info.timeout_secs_ah_idle = kHandshakeSecs;
    m_info.timeout_secs = 30;
    m_info.ka_time = 0;
    m_info.ka_probes = 0;
    m_info.ka_interval = 0;
    m_info.pt_serv_buf_size = kServiceBufferBytes;

    qDebug() << "m_filePrivateKey:" << m_filePrivateKey.c_str();
    qDebug() << "m_fileCert:" << m_fileCert.c_str();
    qDebug() << "ssl_private_key_filepath:"
             << (m_info.ssl_private_key_filepath ? m_info.ssl_private_key_filepath : "");
    qDebug() << "ssl_cert_filepath:" << (m_info.ssl_cert_filepath ? m_info.ssl_cert_filepath : "");

    lws_context *context = m_options.loopbackOnly ? createLoopbackContext() : lws_create_context(&m_info);
    std::lock_guard<std::mutex> lock(m_contextMutex);
    m_pContext = context;
    return context != nullptr;
}

// One listening socket per loopback address, each a virtual host of the one context; the agent
// serves when either is listening. The library takes .iface for an interface name and, where
// it cannot resolve it for its socket family, listens on every address: 127.0.0.1 is bound on
// an IPv4 socket, and ::1 only where the machine has it.
lws_context *TessorAgent::createLoopbackContext()
{
    lws_context_creation_info contextInfo = m_info;
    contextInfo.options |= LWS_SERVER_OPTION_EXPLICIT_VHOSTS | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    lws_context *context = lws_create_context(&contextInfo);
    if (!context)
        return nullptr;
    struct Address {
        const char *text;
        bool ipv4;
    };
    int listening = 0;
    for (const Address address : {Address{"127.0.0.1", true}, Address{"::1", false}}) {
        if (!address.ipv4 && !hasIpv6Loopback())
            continue;
        lws_context_creation_info hostInfo = m_info;
        hostInfo.iface = address.text;
        hostInfo.vhost_name = address.text;
        if (address.ipv4)
            hostInfo.options |= LWS_SERVER_OPTION_DISABLE_IPV6;
        if (lws_create_vhost(context, &hostInfo))
            ++listening;
        else
            qDebug() << "TessorAgent cannot listen on" << address.text << "port" << m_nPort;
    }
    if (listening == 0) {
        lws_context_destroy(context);
        return nullptr;
    }
    return context;
}

void TessorAgent::serviceLoop()
{
    nameWorkerThread(m_nPort);
    {
        std::lock_guard<std::mutex> lock(m_contextMutex);
        if (m_bStop)
            return;
        m_bInLoop = true;
        m_workerId = std::this_thread::get_id();
    }

    int result = 0;
    while (!m_bStop) {
        lws_context *context;
        {
            std::lock_guard<std::mutex> lock(m_contextMutex);
            context = m_pContext;
        }
        if (context && m_options.responsive) {
            // Waits in the library's poll until a socket, a timer of its own or
            // lws_cancel_service (a stop) wakes it.
            result = lws_service(context, 0);
        } else {
            if (context)
                result = servicePass(context);
            std::unique_lock<std::mutex> lock(m_contextMutex);
            m_loopChanged.wait_for(lock, kPassSleep, [this] { return m_bStop.load(); });
        }
        if (result < 0)
            break;
    }

    // Notified under the lock: once stopServer() sees the flag, this thread touches nothing
    // of the agent any more, and the agent may be destroyed.
    std::lock_guard<std::mutex> lock(m_contextMutex);
    m_bInLoop = false;
    m_loopChanged.notify_all();
}

int TessorAgent::servicePass(lws_context *context)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kServiceWaitMs);
    int result;
    int calls = 0;
    do {
        // lws_service ignores its time-out since 3.2 and may sleep for half a minute; the
        // timer ends the wait at the pass's deadline.
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        lws_sul_schedule(context, 0, &m_serviceBound, serviceBoundReached,
                         std::max<lws_usec_t>(remaining.count(), 1000));
        m_nPiecesThisCall = 0;
        result = lws_service(context, kServiceWaitMs);
        lws_sul_cancel(&m_serviceBound);
        ++calls;
        // 4.1 reads one receive buffer (one TLS record) per connection and call; while pieces
        // keep coming, the rest of a message that has arrived is read within the same pass. A
        // call that returns before the bound was woken by something to serve.
    } while (result >= 0 && (m_nPiecesThisCall > 0 || calls < kCallsPerPass) && !m_bStop
             && Clock::now() < deadline);
    return result;
}

void TessorAgent::requestStop()
{
    std::lock_guard<std::mutex> lock(m_contextMutex);
    m_bStop = true;
    if (m_pContext)
        lws_cancel_service(m_pContext);
    m_loopChanged.notify_all(); // ends the loop's sleep
}

void TessorAgent::terminate()
{
    requestStop();
}

bool TessorAgent::stopServer()
{
    lws_context *context;
    {
        std::unique_lock<std::mutex> lock(m_contextMutex);
        m_bStop = true;
        if (m_pContext)
            lws_cancel_service(m_pContext);
        m_loopChanged.notify_all();
        // From inside the loop (a callback) there is nothing to wait for: the loop ends after
        // this call returns, and the context goes with the next stop from outside.
        if (m_bInLoop && m_workerId == std::this_thread::get_id())
            return m_pContext == nullptr;
        m_loopChanged.wait(lock, [this] { return !m_bInLoop; });
        context = m_pContext;
        m_pContext = nullptr;
    }
    // Outside the lock: destruction runs the connections' callbacks on this thread.
    if (context)
        lws_context_destroy(context);
    return true;
}

bool TessorAgent::admitConnection()
{
    if (m_connections.size() < kMaxConnections) {
        m_bAtConnectionLimit = false;
        return true;
    }
    // Once per flood, not once per refused connection.
    if (!m_bAtConnectionLimit)
        qDebug() << "TessorAgent connection limit reached:" << quint64(kMaxConnections) << "port" << m_nPort;
    m_bAtConnectionLimit = true;
    return false;
}

int TessorAgent::confirmUpgrade(lws *connection)
{
    const std::optional<std::string> origin = handshakeOrigin(connection, m_nPort, headerText(connection, WSI_TOKEN_ORIGIN));
    const bool allowed = originAllowed(m_options.allowedOrigins, origin ? origin->c_str() : nullptr);
    qDebug() << "Tessor_service_callback Origin:" << (origin ? origin->c_str() : "<none>")
             << "peer:" << peerAddress(connection).c_str() << (allowed ? "served" : "refused");
    if (allowed)
        return 0;
    answerHttp(connection, HTTP_STATUS_FORBIDDEN, "Origin not allowed\n");
    return -1;
}

void TessorAgent::receivePiece(lws *connection, const char *data, size_t length)
{
    ++m_nPiecesThisCall;
    const bool endOfMessage = lws_is_final_fragment(connection) && lws_remaining_packet_payload(connection) == 0;
    const auto found = m_connections.find(connection);
    if (found == m_connections.end())
        return;
    Connection &state = found->second;
    std::optional<MessageAssembler::Outcome> outcome = state.assembler.feed(data, length, endOfMessage);
    // A message left unfinished closes the connection unless more of it comes in time.
    if (state.assembler.unfinished()) {
        lws_set_timeout(connection, PENDING_TIMEOUT_USER_OK, kSilentUnfinishedSecs);
        state.timerArmed = true;
    } else if (state.timerArmed) {
        lws_set_timeout(connection, NO_PENDING_TIMEOUT, 0);
        state.timerArmed = false;
    }
    if (!outcome)
        return;
    if (outcome->kind == MessageAssembler::Outcome::Kind::Request)
        onMessage(connection, std::move(outcome->text), std::move(outcome->request));
    else
        sendMessage(connection, jsonToString(replyUnsupport()));
}

void TessorAgent::OnConnected(lws *connection)
{
    refreshPlayerPaths();
    // The address, not a name: a reverse lookup would hold up the agent's thread.
    qDebug() << peerAddress(connection).c_str() << " OnConnected\n";
}

void TessorAgent::onDisconnected(lws *)
{
    qDebug() << "TessorAgent onDisconnected\n";
}

void TessorAgent::onMessage(lws *connection, std::string text, QJsonObject request)
{
    if (excerptIsCut(text))
        qDebug() << "On Message : " << logExcerpt(text).constData() << "length:" << quint64(text.size()) << "\n";
    else
        qDebug() << "On Message : " << text.c_str() << "\n";
    const PlayContext context{m_playerSlot, m_playFiles, &m_bStop};
    sendMessage(connection, handleRequest(std::move(request), context));
}

void TessorAgent::sendMessage(lws *connection, std::string text)
{
    if (!connection)
        return;
    // A buffer per reply, sized to it: libwebsockets needs LWS_PRE bytes in front for the header.
    std::vector<unsigned char> buffer(LWS_PRE + text.size());
    std::memcpy(buffer.data() + LWS_PRE, text.data(), text.size());
    const int result = lws_write(connection, buffer.data() + LWS_PRE, text.size(), LWS_WRITE_TEXT);
    // uiSize gives the whole length of a text cut short.
    qDebug() << "sendMessage lws_write result:" << result << "uiSize:" << quint64(text.size())
             << "msg:" << logExcerpt(text).constData();
}

void TessorAgent::processFinished(int n, QProcess::ExitStatus status)
{
    Q_UNUSED(n);
    Q_UNUSED(status);
}
