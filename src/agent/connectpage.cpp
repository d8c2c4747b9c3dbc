#include "agent/connectpage.h"

#include "base/version.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDebug>

#include <libwebsockets.h>

#include <cstring>

// Generated from resources/connect/ (connectpage_files.cpp.in).
extern const char kConnectHtml[];
extern const char kConnectScript[];
extern const char kConnectStyle[];

namespace {

std::string replaced(std::string text, const std::string &placeholder, const std::string &with)
{
    const std::size_t at = text.find(placeholder);
    return at == std::string::npos ? text : text.replace(at, placeholder.size(), with);
}

// A CSP source that allows exactly this inline text.
std::string hashSource(const char *text)
{
    const QByteArray digest = QCryptographicHash::hash(QByteArray(text), QCryptographicHash::Sha256);
    return "'sha256-" + digest.toBase64().toStdString() + "'";
}

HttpAnswer connectPage()
{
    // Nothing but its own inline script and style, its own WebSocket, and no frame around it:
    // a site could otherwise dress the question up or click it for the user.
    const std::string policy = "default-src 'none'; script-src " + hashSource(kConnectScript) + "; style-src "
                               + hashSource(kConnectStyle)
                               + "; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    std::string body = replaced(replaced(kConnectHtml, "{{style}}", kConnectStyle), "{{script}}", kConnectScript);
    return {HTTP_STATUS_OK,
            "text/html; charset=utf-8",
            {{"content-security-policy:", policy},
             {"x-frame-options:", "DENY"},
             {"x-content-type-options:", "nosniff"},
             {"referrer-policy:", "no-referrer"},
             {"cache-control:", "no-store"}},
            std::move(body)};
}

bool isConnectPageOrigin(const std::string &origin, int port)
{
    const std::string suffix = ":" + std::to_string(port);
    for (const char *scheme : {"http://", "https://"}) {
        for (const char *host : {"127.0.0.1", "localhost", "[::1]"}) {
            if (origin == scheme + std::string(host) + suffix)
                return true;
        }
    }
    return false;
}

} // namespace

HttpAnswer httpAnswer(const std::string &path, bool get)
{
    if (path == "/")
        return {HTTP_STATUS_OK, "text/plain", {}, std::string("Mirvale ") + kServiceVersion + "\n"};
    if (path == "/connect") {
        static const HttpAnswer s_page = connectPage();
        if (get)
            return s_page;
        return {HTTP_STATUS_METHOD_NOT_ALLOWED, "text/plain", {{"allow:", "GET"}}, "Only GET serves /connect\n"};
    }
    return {HTTP_STATUS_NOT_FOUND, "text/plain", {}, "Not found: this service serves / and /connect only\n"};
}

std::optional<std::string> speakingOrigin(const std::optional<std::string> &header,
                                          const std::optional<std::string> &named, int port)
{
    if (!header || !named || !isConnectPageOrigin(*header, port))
        return header;
    // A serialised origin is printable ASCII; anything else (a line feed for the log, say) names
    // no site, and an opaque origin is on no list.
    for (const char c : *named) {
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return std::string("null");
    }
    return named;
}

int answerHttpRequest(lws *wsi, const char *path)
{
    const HttpAnswer answer = httpAnswer(path ? path : "", lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0);
    // Room for the headers in front of the body, and LWS_PRE in front of both.
    std::vector<unsigned char> buffer(LWS_PRE + 2048 + answer.body.size());
    unsigned char *start = buffer.data() + LWS_PRE;
    unsigned char *p = start;
    unsigned char *end = buffer.data() + buffer.size() - answer.body.size();
    static const unsigned char kClose[] = "close";
    if (lws_add_http_common_headers(wsi, answer.status, answer.contentType.c_str(), answer.body.size(), &p, end)
        || lws_add_http_header_by_token(wsi, WSI_TOKEN_CONNECTION, kClose, sizeof kClose - 1, &p, end))
        return -1;
    for (const auto &[name, value] : answer.headers) {
        if (lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char *>(name.c_str()),
                                        reinterpret_cast<const unsigned char *>(value.data()), int(value.size()), &p,
                                        end))
            return -1;
    }
    if (lws_finalize_write_http_header(wsi, start, &p, end))
        return -1;
    // The headers are out; the body goes in the same buffer. What the socket does not take at
    // once the library sends before it closes.
    std::memcpy(start, answer.body.data(), answer.body.size());
    lws_write(wsi, start, answer.body.size(), LWS_WRITE_HTTP_FINAL);
    return -1;
}

std::optional<std::string> handshakeOrigin(lws *wsi, int port, const std::optional<std::string> &header)
{
    char buffer[512];
    const char *value = lws_get_urlarg_by_name(wsi, "origin=", buffer, int(sizeof buffer));
    const std::optional<std::string> named = value ? std::optional<std::string>(value) : std::nullopt;
    const std::optional<std::string> origin = speakingOrigin(header, named, port);
    if (origin != header)
        qDebug() << "Tessor_service_callback connect page for:" << origin->c_str();
    return origin;
}
