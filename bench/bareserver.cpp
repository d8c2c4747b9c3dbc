// The yardstick of the load benchmark: a bare libwebsockets server that answers every message
// with one fixed text, with the service's listening setup (8142 plain, 8143 TLS that also takes
// plain) and its service call waiting on socket activity. Runs until SIGTERM or SIGINT.
//
//   mirvale_bareserver --cert server.crt --key server.key --pass PHRASE
#include <libwebsockets.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;
lws_context *g_context = nullptr;

const char kAnswer[] = R"({"action":"Getinfo","applications":[],"id":0,"version":"bare"})";

int callback(lws *wsi, lws_callback_reasons reason, void *, void *, size_t)
{
    if (reason == LWS_CALLBACK_RECEIVE && lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
        std::vector<unsigned char> buffer(LWS_PRE + sizeof kAnswer - 1);
        std::memcpy(buffer.data() + LWS_PRE, kAnswer, sizeof kAnswer - 1);
        lws_write(wsi, buffer.data() + LWS_PRE, sizeof kAnswer - 1, LWS_WRITE_TEXT);
    }
    return 0;
}

lws_protocols g_protocols[] = {{"bare", callback, 0, 40960, 0, nullptr, 0}, {nullptr, nullptr, 0, 0, 0, nullptr, 0}};

const char *argument(int argc, char **argv, const char *name)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    lws_set_log_level(LLL_ERR, nullptr);
    std::signal(SIGTERM, [](int) { g_stop = 1; lws_cancel_service(g_context); });
    std::signal(SIGINT, [](int) { g_stop = 1; lws_cancel_service(g_context); });

    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    info.options = LWS_SERVER_OPTION_EXPLICIT_VHOSTS | LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    info.gid = -1;
    info.uid = -1;
    info.pt_serv_buf_size = 64 * 1024;
    info.max_http_header_pool = 1024;
    g_context = lws_create_context(&info);
    if (!g_context)
        return 1;

    info.protocols = g_protocols;
    info.options = LWS_SERVER_OPTION_VALIDATE_UTF8;
    info.port = 8142;
    bool listening = lws_create_vhost(g_context, &info) != nullptr;
    info.vhost_name = "tls";
    info.port = 8143;
    info.ssl_cert_filepath = argument(argc, argv, "--cert");
    info.ssl_private_key_filepath = argument(argc, argv, "--key");
    info.ssl_private_key_password = argument(argc, argv, "--pass");
    info.alpn = "http/1.1";
    info.options |= LWS_SERVER_OPTION_ALLOW_NON_SSL_ON_SSL_PORT | LWS_SERVER_OPTION_ALLOW_HTTP_ON_HTTPS_LISTENER;
    listening = lws_create_vhost(g_context, &info) != nullptr && listening;
    if (!listening) {
        lws_context_destroy(g_context);
        return 1;
    }
    while (!g_stop && lws_service(g_context, 0) >= 0) {
    }
    lws_context_destroy(g_context);
    return 0;
}
