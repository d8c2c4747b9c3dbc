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

// The memory that all of one agent's connections may hold for texts still unfinished. Owned by
// the agent and used by its assemblers, on the agent's worker thread only: no lock.
class TextBudget
{
public:
    static constexpr std::size_t kAgentBytes = std::size_t(16) << 20;

    explicit TextBudget(std::size_t limit = kAgentBytes) : m_limit(limit) {}

    bool take(std::size_t bytes);
    void give(std::size_t bytes) { m_used -= bytes; }
    std::size_t used() const { return m_used; }

private:
    std::size_t m_limit;
    std::size_t m_used = 0;
};

// One connection's accumulator. Owned and used by a single thread (the agent's worker).
class MessageAssembler
{
public:
    // Bound on one connection's accumulated text.
    static constexpr std::size_t kMaxTextBytes = std::size_t(1) << 20;

    // Text kept for a later piece is charged to the budget, when one is given; it must outlive
    // the assembler.
    explicit MessageAssembler(TextBudget *budget = nullptr) : m_budget(budget) {}
    ~MessageAssembler();
    MessageAssembler(const MessageAssembler &) = delete;
    MessageAssembler &operator=(const MessageAssembler &) = delete;

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
    // A message has begun and not ended, or text waits for the rest of its document.
    bool unfinished() const { return m_bInMessage || !m_text.empty(); }

private:
    std::optional<QJsonObject> parseClosedText() const;
    void append(const char *data, std::size_t length);
    bool chargeKeptText();
    void release();
    void discard();

    TextBudget *m_budget;
    std::size_t m_charged = 0; // what m_text's buffer holds of the budget
    bool m_bInMessage = false;
    std::string m_text;
    JsonScanner m_scanner;
    // The text has been discarded; the rest of the current message is dropped and answered
    // once at its end.
    bool m_bDiscarding = false;
};
