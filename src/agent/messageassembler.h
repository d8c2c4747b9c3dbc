#pragma once

#include "agent/jsonscanner.h"

#include <QJsonObject>

#include <cstddef>
#include <optional>
#include <string>

// Joining one connection's received pieces into complete JSON request texts, each parsed once.
// Pure logic (Qt Core only): the agent feeds it what libwebsockets delivers.
//
// A text is handed over when the scanner has seen one object or array close (with optional
// surrounding white space), no object in it repeats a member name, and QJsonDocument accepts it
// after a round trip through QString, which turns invalid UTF-8 into U+FFFD.

// One connection's accumulator. Owned and used by a single thread (the agent's worker).
class MessageAssembler
{
public:
    // Bound on one connection's accumulated text.
    static constexpr std::size_t kMaxTextBytes = std::size_t(8) << 20;

    struct Outcome {
        enum class Kind {
            Request,    // text is one complete document: hand it to the request handler
            Unsupported // text was discarded: answer with the "Unsupport" reply
        };
        Kind kind;
        std::string text;    // empty for Unsupported
        QJsonObject request; // the parsed text; empty when it is an array, or for Unsupported
    };

    // One piece as the library delivered it; endOfMessage marks the last piece of a WebSocket
    // message. A piece contributes only the bytes before its first NUL. Each call yields at
    // most one outcome.
    std::optional<Outcome> feed(const char *data, std::size_t size, bool endOfMessage);

    // Bytes held for an incomplete document.
    std::size_t pendingBytes() const { return m_text.size(); }

private:
    std::optional<QJsonObject> parseClosedText() const;
    void discard();

    std::string m_text;
    JsonScanner m_scanner;
    // The text has been discarded; the rest of the current message is dropped and answered
    // once at its end.
    bool m_bDiscarding = false;
};
