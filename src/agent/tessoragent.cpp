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
#include "base/descriptor_posix.h"

#include <arpa/inet.h>
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

// Whether the library will bind the handshake to "mutex": it takes the first name of the
// client's list that its table knows.
bool protocolNamesMutex(const std::string &list)
{
    for (const QByteArray &name : QByteArray::fromStdString(list).split(',')) {
        const QByteArray trimmed = name.trimmed();
        if (trimmed == "mutex")
            return true;
        if (trimmed == "42689.2" || trimmed == "brelant-liveview")
            return false;
    }
    return false;
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
    const Descriptor fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    const bool bound = ::bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
#endif
    return bound;
}

// Whether the accepted socket's peer is a loopback address (127.0.0.0/8, ::1, or 127.x mapped
// into IPv6 on the dual-stack socket).
bool isLoopbackSocket(lws_sockfd_type fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    if (address.ss_family == AF_INET) {
        const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(&address);
        return (ntohl(ipv4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address.ss_family == AF_INET6) {
        const in6_addr &ipv6 = reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&ipv6) || (IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127);
    }
    return false;
}

constexpr lws_usec_t kSweepUsecs = LWS_US_PER_SEC;

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
    qDebug() << "lwsl_syslog level:" << level << "line:" << escapedLogText(text).constData();
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
        if (agent) {
            agent->onEstablished(wsi);
            if (isLocalPeer(wsi))
                agent->OnConnected(wsi);
        }
        break;
    case LWS_CALLBACK_RECEIVE:
        if (agent) {
            agent->noteHeard(wsi, false);
            agent->receivePiece(wsi, static_cast<const char *>(in), len);
        }
        break;
    case LWS_CALLBACK_RECEIVE_PONG:
        if (agent)
            agent->noteHeard(wsi, true);
        break;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        if (agent)
            agent->onWriteable(wsi);
        break;
    case LWS_CALLBACK_HTTP:
        // Left unanswered, a browser opening the address would hang.
        return answerHttpRequest(wsi, static_cast<const char *>(in));
    case LWS_CALLBACK_FILTER_NETWORK_CONNECTION: {
        // Accepted by the kernel, not yet by the library: non-zero closes it at once. `in` is the
        // accepted socket.
        const auto fd = static_cast<lws_sockfd_type>(reinterpret_cast<lws_intptr_t>(in));
        return agent && !agent->admitConnection(isLoopbackSocket(fd)) ? 1 : 0;
    }
    case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
        // Every WebSocket handshake passes here on entry 0, whichever protocol it names, before
        // the protocol is chosen and its callback hears of the connection.
        return agent ? agent->confirmUpgrade(wsi) : 0;
    case LWS_CALLBACK_WSI_CREATE:
        // Every accepted connection is created through here; the listening socket is not.
        if (agent) {
            const auto created = agent->m_connections.try_emplace(wsi, &agent->m_budget);
            if (created.second) {
                created.first->second.loopback = agent->m_bAdmittingLoopback;
                agent->m_nNetworkConnections += agent->m_bAdmittingLoopback ? 0 : 1;
            }
            agent->m_bAdmittingLoopback = false;
        }
        break;
    case LWS_CALLBACK_WSI_DESTROY:
        if (agent) {
            const auto found = agent->m_connections.find(wsi);
            if (found != agent->m_connections.end()) {
                agent->m_nNetworkConnections -= found->second.loopback ? 0 : 1;
                agent->m_nUnsentBytes -= found->second.unsentBytes;
                agent->m_connections.erase(found);
                agent->onDisconnected(wsi);
            }
        }
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
        agent->terminate();
    requestApplicationExit();
    return 0;
}

// Its messages are ignored; only the liveness check hears of its connections.
int liveview_service_callback(lws *wsi, lws_callback_reasons reason, void *, void *, size_t)
{
    TessorAgent *agent = agentOf(wsi);
    if (!agent)
        return 0;
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
        agent->onEstablished(wsi);
        break;
    case LWS_CALLBACK_RECEIVE:
    case LWS_CALLBACK_RECEIVE_PONG:
        agent->noteHeard(wsi, reason == LWS_CALLBACK_RECEIVE_PONG);
        break;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        agent->onWriteable(wsi);
        break;
    default:
        break;
    }
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
    , m_nNetworkConnections(0)
    , m_nUnsentBytes(0)
    , m_bAdmittingLoopback(false)
    , m_nPiecesThisCall(0)
{
    std::memset(m_protocols, 0, sizeof m_protocols);
    std::memset(&m_info, 0, sizeof m_info);
    std::memset(&m_serviceBound, 0, sizeof m_serviceBound);
    std::memset(&m_sweep, 0, sizeof m_sweep);
    m_sweep.agent = this;
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

void TessorAgent::setNetworkSettings(const NetworkSettings &settings)
{
    m_options = settings;
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

    lws_context *context = m_options.listenLoopbackOnly ? createLoopbackContext() : lws_create_context(&m_info);
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
        m_sweep.context = m_pContext;
    }
    if (m_sweep.context)
        lws_sul_schedule(m_sweep.context, 0, &m_sweep.sul, sweepConnections, kSweepUsecs);

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

    if (m_sweep.context)
        lws_sul_cancel(&m_sweep.sul);
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

void TessorAgent::raiseStop()
{
    m_bStop = true;
    if (m_pContext)
        lws_cancel_service(m_pContext);
    m_loopChanged.notify_all(); // ends the loop's sleep
}

void TessorAgent::terminate()
{
    std::lock_guard<std::mutex> lock(m_contextMutex);
    raiseStop();
}

bool TessorAgent::stopServer()
{
    lws_context *context;
    {
        std::unique_lock<std::mutex> lock(m_contextMutex);
        raiseStop();
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

bool TessorAgent::admitConnection(bool loopback)
{
    const bool room = m_connections.size() < kMaxConnections
                      && (loopback || m_nNetworkConnections < kMaxConnections - kLoopbackSlots);
    m_bAdmittingLoopback = loopback;
    if (room) {
        m_bAtConnectionLimit = false;
        return true;
    }
    // Once per flood, not once per refused connection.
    if (!m_bAtConnectionLimit)
        qDebug() << "TessorAgent connection limit reached:" << quint64(kMaxConnections) << "port" << m_nPort
                 << (loopback ? "" : "(network peers)");
    m_bAtConnectionLimit = true;
    return false;
}

int TessorAgent::confirmUpgrade(lws *connection)
{
    const std::optional<std::string> origin =
            handshakeOrigin(connection, m_nPort, headerText(connection, WSI_TOKEN_ORIGIN));
    bool allowed = originAllowed(m_options.allowedOrigins, origin ? origin->c_str() : nullptr);
    // A page may end the service only when the administrator listed its origin; any page is
    // not enough. Clients without an Origin (local tools) may, as before.
    if (allowed && origin && m_options.allowedOrigins.isEmpty()) {
        const std::optional<std::string> protocol = headerText(connection, WSI_TOKEN_PROTOCOL);
        if (protocol && protocolNamesMutex(*protocol))
            allowed = false;
    }
    qDebug() << "Tessor_service_callback Origin:" << (origin ? escapedLogText(QByteArray::fromStdString(*origin)).constData() : "<none>")
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
        qDebug() << "On Message : " << logExcerpt(text).constData() << "\n";
    const PlayContext context{m_playerSlot, m_playFiles, &m_bStop};
    sendMessage(connection, handleRequest(std::move(request), context));
}

namespace {

// A buffer per frame, sized to it: libwebsockets needs LWS_PRE bytes in front for the header.
int writeFrame(lws *connection, const std::string &text, lws_write_protocol kind)
{
    std::vector<unsigned char> buffer(LWS_PRE + text.size());
    std::memcpy(buffer.data() + LWS_PRE, text.data(), text.size());
    return lws_write(connection, buffer.data() + LWS_PRE, text.size(), kind);
}

void logReply(int result, const std::string &text)
{
    // uiSize gives the whole length of a text cut short.
    qDebug() << "sendMessage lws_write result:" << result << "uiSize:" << quint64(text.size())
             << "msg:" << logExcerpt(text).constData();
}

} // namespace

// The reply waits its turn behind those the connection has not taken yet; the library is handed
// one frame at a time, and only once it holds nothing of the one before, so that what a client
// leaves unread is counted here and bounded.
void TessorAgent::sendMessage(lws *connection, std::string text)
{
    if (!connection)
        return;
    const auto found = m_connections.find(connection);
    if (found == m_connections.end()) {
        logReply(writeFrame(connection, text, LWS_WRITE_TEXT), text);
        return;
    }
    Connection &state = found->second;
    state.unsentBytes += text.size();
    m_nUnsentBytes += text.size();
    const bool idle = state.unsent.empty() && state.inLibraryBytes == 0 && !state.pingDue;
    state.unsent.push_back(std::move(text));
    if (idle)
        writeNextReply(connection, state);
    updateReading(connection, state);
}

void TessorAgent::writeNextReply(lws *connection, Connection &state)
{
    if (state.unsent.empty() || lws_partial_buffered(connection)) {
        if (!state.unsent.empty())
            lws_callback_on_writable(connection);
        return;
    }
    const std::string text = std::move(state.unsent.front());
    state.unsent.pop_front();
    const int result = writeFrame(connection, text, LWS_WRITE_TEXT);
    logReply(result, text);
    if (result >= 0 && lws_partial_buffered(connection)) {
        // Counted until the library reports the connection writeable again.
        state.inLibraryBytes = text.size();
    } else {
        state.unsentBytes -= text.size();
        m_nUnsentBytes -= text.size();
        state.drainedAt = Clock::now();
    }
    if (!state.unsent.empty() || state.inLibraryBytes)
        lws_callback_on_writable(connection);
}

void TessorAgent::settleSent(Connection &state)
{
    if (state.inLibraryBytes == 0)
        return;
    state.unsentBytes -= state.inLibraryBytes;
    m_nUnsentBytes -= state.inLibraryBytes;
    state.inLibraryBytes = 0;
    state.drainedAt = Clock::now();
}

void TessorAgent::onWriteable(lws *connection)
{
    const auto found = m_connections.find(connection);
    if (found == m_connections.end())
        return;
    Connection &state = found->second;
    if (lws_partial_buffered(connection)) {
        lws_callback_on_writable(connection);
        return;
    }
    settleSent(state);
    // Served within the pass, like received pieces.
    ++m_nPiecesThisCall;
    // One frame per call: the ping first, so that it is not held behind replies.
    if (state.pingDue) {
        state.pingDue = false;
        // libwebsockets 4.1 reports no pong without a payload; the peer echoes this one.
        writeFrame(connection, std::string("mirvale"), LWS_WRITE_PING);
        if (!state.unsent.empty())
            lws_callback_on_writable(connection);
    } else {
        writeNextReply(connection, state);
    }
    updateReading(connection, state);
}

void TessorAgent::updateReading(lws *connection, Connection &state)
{
    const bool over = state.unsentBytes > kUnsentConnectionBytes
                      || (state.unsentBytes > 0 && m_nUnsentBytes > kUnsentAgentBytes);
    if (over == state.readPaused)
        return;
    state.readPaused = over;
    if (over)
        state.drainedAt = Clock::now();
    lws_rx_flow_control(connection, over ? 0 : 1);
}

void TessorAgent::onEstablished(lws *connection)
{
    const auto found = m_connections.find(connection);
    if (found == m_connections.end())
        return;
    found->second.established = true;
    found->second.heardAt = Clock::now();
}

void TessorAgent::noteHeard(lws *connection, bool pong)
{
    const auto found = m_connections.find(connection);
    if (found == m_connections.end())
        return;
    found->second.heardAt = Clock::now();
    if (pong)
        found->second.pingSent = false;
}

void TessorAgent::sweepConnections(lws_sorted_usec_list_t *sul)
{
    SweepTimer *timer = reinterpret_cast<SweepTimer *>(sul);
    timer->agent->sweep(Clock::now());
    lws_sul_schedule(timer->context, 0, &timer->sul, sweepConnections, kSweepUsecs);
}

void TessorAgent::sweep(Clock::time_point now)
{
    using std::chrono::seconds;
    for (auto &entry : m_connections) {
        lws *connection = entry.first;
        Connection &state = entry.second;
        if (!state.established)
            continue;
        if (state.readPaused && now - state.drainedAt >= seconds(kStalledReaderSecs)) {
            closeConnection(connection, "replies not read");
        } else if (state.pingSent) {
            if (now - state.pingAt >= seconds(kPongSecs))
                closeConnection(connection, "no pong");
        } else if (now - state.heardAt >= seconds(kSilentSecs)) {
            state.pingSent = true;
            state.pingDue = true;
            state.pingAt = now;
            lws_callback_on_writable(connection);
        }
    }
}

void TessorAgent::closeConnection(lws *connection, const char *why)
{
    Connection &state = m_connections.at(connection);
    if (!state.established)
        return;
    state.established = false; // once
    qDebug() << "TessorAgent closes a connection:" << why << "peer:" << peerAddress(connection).c_str();
    // Closed by the library at its next check, outside this walk over the connections.
    lws_set_timeout(connection, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

void TessorAgent::processFinished(int n, QProcess::ExitStatus status)
{
    Q_UNUSED(n);
    Q_UNUSED(status);
}
