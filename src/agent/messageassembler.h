#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Joining one connection's received pieces into complete JSON request texts.
// Pure logic (Qt Core only): the agent feeds it what libwebsockets delivers.

// True when QJsonDocument accepts the text (after a round trip through QString, as the
// request parser sees it): one object or array with optional surrounding white space, in
// which no object repeats a member name (see protocol/jsonnames.h).
bool isCompleteJson(std::string text);

// Follows the JSON grammar byte by byte so that completeness is known without parsing the
// whole text again for every piece. It is as lenient as QJsonDocument where that parser is
// lenient (escapes, number forms, string contents) and strict where a byte can never be
// part of a document; the final word on a closed value is isCompleteJson.
class JsonScanner
{
public:
    enum class Status {
        Open,   // a valid prefix: more text may complete it
        Closed, // the top-level object or array has closed; only white space followed
        Broken  // no continuation can make this one document
    };

    // Consumes the bytes; once Broken, further bytes are ignored.
    Status feed(const char *data, std::size_t size);
    Status status() const;
    void reset();

private:
    enum class State : unsigned char {
        Begin,       // nothing but white space yet; a byte order mark may open the text
        Bom1,        // after 0xEF at the very start
        Bom2,        // after 0xEF 0xBB
        BeforeTop,   // white space, then '{' or '['
        ValueOrEnd,  // just after '['
        Value,       // after ',' in an array or ':' in an object
        KeyOrEnd,    // just after '{'
        Key,         // after ',' in an object
        Colon,       // after a member name
        AfterValue,  // ',' or the closer of the innermost container
        InString,
        InEscape,
        InNumber,
        InLiteral,
        Done,
        Broken
    };

    bool step(unsigned char byte);
    bool startValue(unsigned char byte);
    bool closeContainer(unsigned char closer);

    State m_state = State::Begin;
    bool m_bKey = false;            // the string being read is a member name
    const char *m_literal = nullptr; // rest of "true", "false" or "null" still expected
    std::string m_nesting;          // '{' or '[' per open container, innermost last
};

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
        std::string text; // empty for Unsupported
    };

    // One piece as the library delivered it; endOfMessage marks the last piece of a WebSocket
    // message. A piece contributes only the bytes before its first NUL. Each call yields at
    // most one outcome.
    std::optional<Outcome> feed(const char *data, std::size_t size, bool endOfMessage);

    // Bytes held for an incomplete document.
    std::size_t pendingBytes() const { return m_text.size(); }

private:
    void discard();

    std::string m_text;
    JsonScanner m_scanner;
    // The text has been discarded; the rest of the current message is dropped and answered
    // once at its end.
    bool m_bDiscarding = false;
};
