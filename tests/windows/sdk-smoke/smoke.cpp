// Proves a Windows dependency set under Wine: Qt on the offscreen platform (with the windows
// platform plugin and the .ico reader loadable), a libwebsockets server on the service's two
// ports, plain and TLS, and libcurl over OpenSSL speaking HTTP and WebSocket to it.
// server.crt and server.key (pass phrase "smoke") are read from beside the executable. Run it in
// a network namespace of its own: it binds 8142 and 8143.

#include <curl/curl.h>
#include <libwebsockets.h>
#include <openssl/crypto.h>

#include <QApplication>
#include <QImageReader>
#include <QPixmap>
#include <QPluginLoader>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr int kPlainPort = 8142;
constexpr int kTlsPort = 8143;
constexpr char kPassphrase[] = "smoke";
constexpr char kBody[] = "mirvale sdk smoke\n";
constexpr long kTimeoutSeconds = 20;

int g_passed = 0;
int g_failed = 0;

void report(bool ok, const std::string &what, const std::string &why = {})
{
    ++(ok ? g_passed : g_failed);
    if (ok || why.empty())
        std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    else
        std::printf("FAIL %s: %s\n", what.c_str(), why.c_str());
    std::fflush(stdout);
}

// ---- server --------------------------------------------------------------------------------

// Per connection, zeroed by libwebsockets; touched by the service thread only.
struct Session {
    size_t length;
    unsigned char text[LWS_PRE + 128];
};

// Answers a plain HTTP request with kBody and echoes each WebSocket text message.
int serve(lws *wsi, lws_callback_reasons reason, void *user, void *in, size_t len)
{
    auto *session = static_cast<Session *>(user);
    switch (reason) {
    case LWS_CALLBACK_HTTP: {
        unsigned char headers[LWS_PRE + 512];
        unsigned char *start = headers + LWS_PRE, *p = start, *end = headers + sizeof headers;
        if (lws_add_http_common_headers(wsi, HTTP_STATUS_OK, "text/plain", sizeof kBody - 1, &p,
                                        end)
            || lws_finalize_write_http_header(wsi, start, &p, end))
            return 1;
        lws_callback_on_writable(wsi);
        return 0;
    }
    case LWS_CALLBACK_HTTP_WRITEABLE: {
        unsigned char body[LWS_PRE + sizeof kBody];
        std::memcpy(body + LWS_PRE, kBody, sizeof kBody - 1);
        if (lws_write(wsi, body + LWS_PRE, sizeof kBody - 1, LWS_WRITE_HTTP_FINAL) < 0)
            return 1;
        return lws_http_transaction_completed(wsi) ? -1 : 0;
    }
    case LWS_CALLBACK_RECEIVE:
        if (len > sizeof session->text - LWS_PRE)
            return -1;
        std::memcpy(session->text + LWS_PRE, in, len);
        session->length = len;
        lws_callback_on_writable(wsi);
        return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE:
        if (session->length
            && lws_write(wsi, session->text + LWS_PRE, session->length, LWS_WRITE_TEXT) < 0)
            return -1;
        session->length = 0;
        return 0;
    default:
        return lws_callback_http_dummy(wsi, reason, user, in, len);
    }
}

const lws_protocols kProtocols[] = {
    {"smoke", serve, sizeof(Session), 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

class Server {
public:
    ~Server()
    {
        if (!m_context)
            return;
        // Flag, wake, wait, then destroy: the context belongs to the service thread until then.
        m_stop = true;
        lws_cancel_service(m_context);
        if (m_thread.joinable())
            m_thread.join();
        lws_context_destroy(m_context);
    }

    bool start(const std::string &folder, std::string *why)
    {
        lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
        lws_context_creation_info info{};
        info.options = LWS_SERVER_OPTION_EXPLICIT_VHOSTS | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        info.port = CONTEXT_PORT_NO_LISTEN;
        info.protocols = kProtocols;
        m_context = lws_create_context(&info);
        if (!m_context)
            return *why = "no context", false;

        // The options the service's TLS port runs with: plain clients are welcome there too.
        lws_context_creation_info plain{};
        plain.vhost_name = "plain";
        plain.port = kPlainPort;
        plain.protocols = kProtocols;
        plain.options = LWS_SERVER_OPTION_VALIDATE_UTF8;
        lws_context_creation_info tls = plain;
        tls.vhost_name = "tls";
        tls.port = kTlsPort;
        tls.options |= LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT
                       | LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER
                       | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        const std::string cert = folder + "/server.crt", key = folder + "/server.key";
        tls.ssl_cert_filepath = cert.c_str();
        tls.ssl_private_key_filepath = key.c_str();
        tls.ssl_private_key_password = kPassphrase;
        if (!lws_create_vhost(m_context, &plain))
            return *why = "no plain vhost on " + std::to_string(kPlainPort), false;
        if (!lws_create_vhost(m_context, &tls))
            return *why = "no TLS vhost on " + std::to_string(kTlsPort), false;

        m_thread = std::thread([this] {
            while (!m_stop && lws_service(m_context, 0) >= 0) {
            }
        });
        return true;
    }

private:
    lws_context *m_context = nullptr;
    std::atomic<bool> m_stop{false}; // written by the main thread, read by the service thread
    std::thread m_thread;            // the service thread; joined by the main thread
};

// ---- client --------------------------------------------------------------------------------

size_t collect(char *data, size_t size, size_t count, void *body)
{
    static_cast<std::string *>(body)->append(data, size * count);
    return size * count;
}

CURL *easyFor(const std::string &url, const std::string &ca)
{
    CURL *curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTimeoutSeconds);
    // The throwaway certificate is its own authority; the set has no CA bundle built in.
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_3);
    return curl;
}

std::string httpGet(const std::string &url, const std::string &ca)
{
    std::string body;
    CURL *curl = easyFor(url, ca);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK)
        return curl_easy_strerror(result);
    if (status != 200)
        return "status " + std::to_string(status);
    return body == kBody ? std::string() : "body \"" + body + "\"";
}

// Reads until `done` holds for what has arrived, waiting on the socket between reads.
template<typename Done>
std::string receive(CURL *curl, std::string *in, Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    curl_socket_t socket = CURL_SOCKET_BAD;
    curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &socket);
    while (!done(*in)) {
        char buffer[1024];
        size_t got = 0;
        const CURLcode result = curl_easy_recv(curl, buffer, sizeof buffer, &got);
        if (result == CURLE_OK && got == 0)
            return "closed after \"" + *in + "\"";
        if (result == CURLE_OK) {
            in->append(buffer, got);
            continue;
        }
        if (result != CURLE_AGAIN)
            return curl_easy_strerror(result);
        if (std::chrono::steady_clock::now() > deadline)
            return "timed out after \"" + *in + "\"";
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval wait{0, 100000};
        select(static_cast<int>(socket) + 1, &readable, nullptr, nullptr, &wait);
    }
    return {};
}

std::string sendAll(CURL *curl, const std::string &out)
{
    size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeoutSeconds);
    while (done < out.size()) {
        size_t sent = 0;
        const CURLcode result = curl_easy_send(curl, out.data() + done, out.size() - done, &sent);
        if (result != CURLE_OK && result != CURLE_AGAIN)
            return curl_easy_strerror(result);
        if (std::chrono::steady_clock::now() > deadline)
            return "send timed out";
        done += sent;
    }
    return {};
}

// The opening handshake and one masked text frame over curl's raw connection, as a page would.
std::string webSocketEcho(const std::string &url, const std::string &ca)
{
    CURL *curl = easyFor(url, ca);
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
    std::string why;
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK)
        why = curl_easy_strerror(result);
    // The key and its answer are the example of RFC 6455, section 1.3.
    if (why.empty())
        why = sendAll(curl, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n");
    std::string in;
    if (why.empty())
        why = receive(curl, &in, [](const std::string &s) { return s.find("\r\n\r\n") != s.npos; });
    if (why.empty()
        && (in.rfind("HTTP/1.1 101", 0) != 0
            || in.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") == std::string::npos))
        why = "handshake answered \"" + in + "\"";
    const std::string text = "hello";
    if (why.empty()) {
        const unsigned char mask[4] = {0x12, 0x34, 0x56, 0x78};
        std::string frame = {'\x81', static_cast<char>(0x80 | text.size())};
        frame.append(reinterpret_cast<const char *>(mask), 4);
        for (size_t i = 0; i < text.size(); ++i)
            frame += static_cast<char>(text[i] ^ mask[i % 4]);
        why = sendAll(curl, frame);
    }
    if (why.empty()) {
        in.erase(0, in.find("\r\n\r\n") + 4);
        why = receive(curl, &in, [&](const std::string &s) { return s.size() >= 2 + text.size(); });
    }
    if (why.empty() && in != std::string("\x81\x05") + text)
        why = "echo was \"" + in + "\"";
    curl_easy_cleanup(curl);
    return why;
}

// ---- checks --------------------------------------------------------------------------------

// OpenSSL reads openssl.cnf from its configuration folder whenever TLS starts, and a
// configuration can load DLLs into the service. A build machine's path ("/tmp/...") is
// drive-relative on Windows, a folder any user may create on C:.
void checkOpenSslFolders()
{
    for (const int which : {OPENSSL_DIR, OPENSSL_ENGINES_DIR, OPENSSL_MODULES_DIR}) {
        const std::string line = OpenSSL_version(which); // NAME: "folder"
        const size_t quote = line.find('"');
        const std::string folder =
            quote == std::string::npos ? line : line.substr(quote + 1, line.size() - quote - 2);
        report(folder.rfind("C:/Program Files/", 0) == 0,
               "OpenSSL's " + line.substr(0, line.find(':')) + " is under C:/Program Files",
               folder);
    }
}

void checkQt()
{
    report(QGuiApplication::platformName() == "offscreen", "Qt runs on the offscreen platform",
           QGuiApplication::platformName().toStdString());
    QWidget widget;
    widget.resize(64, 48);
    widget.show();
    const QPixmap picture = widget.grab();
    report(picture.size() == QSize(64, 48), "a widget renders offscreen");

    // Loading resolves every DLL the plugin needs; there is no desktop to start it on.
    QPluginLoader windows(QCoreApplication::applicationDirPath() + "/platforms/qwindows.dll");
    const bool loaded = windows.load();
    report(loaded && windows.metaData().value("className").toString() == "QWindowsIntegrationPlugin",
           "the windows platform plugin loads", windows.errorString().toStdString());
    report(QImageReader::supportedImageFormats().contains("ico"), "Qt reads .ico files");
}

void checkNetwork()
{
    const std::string folder = QCoreApplication::applicationDirPath().toStdString();
    const std::string ca = folder + "/server.crt";
    Server server;
    std::string why;
    const bool started = server.start(folder, &why);
    report(started, "libwebsockets serves on 8142 and 8143 (TLS)", why);
    if (!started)
        return;

    struct Case {
        const char *what;
        const char *scheme;
        int port;
    };
    const Case cases[] = {
        {"the plain port", "http", kPlainPort},
        {"the TLS port with TLS 1.3", "https", kTlsPort},
        {"the TLS port without TLS", "http", kTlsPort},
    };
    for (const Case &c : cases) {
        const std::string url = std::string(c.scheme) + "://127.0.0.1:" + std::to_string(c.port) + "/";
        why = httpGet(url, ca);
        report(why.empty(), std::string("curl: HTTP GET on ") + c.what, why);
        why = webSocketEcho(url, ca);
        report(why.empty(), std::string("curl: WebSocket handshake and echo on ") + c.what, why);
    }
}

int runChecks()
{
    const curl_version_info_data *curl = curl_version_info(CURLVERSION_NOW);
    std::printf("Qt %s, libwebsockets %s, curl %s with %s\n", qVersion(), lws_get_library_version(),
                curl->version, curl->ssl_version ? curl->ssl_version : "no TLS");
    checkQt();
    checkOpenSslFolders();
    checkNetwork();
    std::printf("sdk-smoke: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Wine hands no QT_* variable over from Unix, and there is no desktop here anyway.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_ALL);
    QTimer::singleShot(0, &app, [] { QCoreApplication::exit(runChecks()); });
    const int code = app.exec();
    curl_global_cleanup();
    return code;
}
