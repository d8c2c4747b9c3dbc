#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct lws;

// What a port answers to plain HTTP: "/" names the service, "/connect" is the connect page, and
// every other path is refused. The connect page lets a site that the browser keeps from this PC's
// ports (a public http page in Chromium, say) talk to the service all the same: the site opens the
// page in a window, the user allows that site once, and the page relays the site's requests over
// its own same-origin WebSocket. The page's files are compiled in (resources/connect/).

struct HttpAnswer {
    unsigned int status;
    std::string contentType;
    std::vector<std::pair<std::string, std::string>> headers; // besides type, length and Connection
    std::string body;
};

// The answer to a request for path (without its query). get: the method is GET.
HttpAnswer httpAnswer(const std::string &path, bool get);

// The origin a handshake speaks for. Its Origin header, except when that is the connect page's
// own origin on this port: then the opener's origin, as the page names it in the URL argument
// "origin" (the page alone, when it names none). The argument of any other handshake is ignored,
// so no other page can speak for a site.
std::optional<std::string> speakingOrigin(const std::optional<std::string> &header,
                                          const std::optional<std::string> &named, int port);

// The libwebsockets side of both, for entry 0's callback: the answer written (non-zero: close),
// and the origin of the handshake on wsi, given its Origin header.
int answerHttpRequest(lws *wsi, const char *path);
std::optional<std::string> handshakeOrigin(lws *wsi, int port, const std::optional<std::string> &header);
