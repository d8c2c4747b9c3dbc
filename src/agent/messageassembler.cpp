#include "agent/messageassembler.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cstring>

bool TextBudget::take(std::size_t bytes)
{
    if (bytes > m_limit - m_used)
        return false;
    m_used += bytes;
    return true;
}

MessageAssembler::~MessageAssembler()
{
    release();
}

std::optional<MessageAssembler::Outcome>
MessageAssembler::feed(const char *data, std::size_t size, bool endOfMessage)
{
    const void *nul = size ? std::memchr(data, '\0', size) : nullptr;
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - data) : size;
    m_bInMessage = !endOfMessage;

    if (!m_bDiscarding && length > 0) {
        if (m_text.size() + length > kMaxTextBytes) {
            discard();
        } else {
            append(data, length);
            switch (m_scanner.feed(data, length)) {
            case JsonScanner::Status::Open:
                // Only what stays unfinished counts against the agent's budget: a request that
                // arrives whole is answered whatever the others hold.
                if (!chargeKeptText())
                    discard();
                break;
            case JsonScanner::Status::Closed:
                if (std::optional<QJsonObject> request = parseClosedText()) {
                    Outcome outcome{Outcome::Kind::Request, std::move(m_text), std::move(*request)};
                    release();
                    m_scanner.reset();
                    return outcome;
                }
                // A closed value the parser refuses stays refused whatever follows.
                discard();
                break;
            case JsonScanner::Status::Broken:
                discard();
                break;
            }
        }
    }

    if (endOfMessage && m_bDiscarding) {
        m_bDiscarding = false;
        return Outcome{Outcome::Kind::Unsupported, std::string(), QJsonObject()};
    }
    return std::nullopt;
}

// The one parse of a request.
std::optional<QJsonObject> MessageAssembler::parseClosedText() const
{
    // Refused before the parser sees it: the parser would leak the repeated member's value.
    if (m_scanner.hasRepeatedName())
        return std::nullopt;
    const QByteArray utf8 = QString::fromUtf8(m_text.data(), static_cast<int>(m_text.size())).toUtf8();
    if (static_cast<std::size_t>(utf8.size()) != m_text.size()
        || std::memcmp(utf8.constData(), m_text.data(), m_text.size()) != 0) {
        // Invalid UTF-8 became U+FFFD, which can make two names one: judged again as the
        // parser will see them. Rare, and only for texts that were not UTF-8.
        JsonScanner names;
        names.feed(utf8.constData(), static_cast<std::size_t>(utf8.size()));
        if (names.hasRepeatedName())
            return std::nullopt;
    }
    const QJsonDocument document = QJsonDocument::fromJson(utf8);
    if (document.isNull())
        return std::nullopt;
    return document.object();
}

// Grows the buffer itself, to no more than the bound: its size is what the budget is charged.
void MessageAssembler::append(const char *data, std::size_t length)
{
    const std::size_t needed = m_text.size() + length;
    if (needed > m_text.capacity()) {
        std::string grown;
        grown.reserve(std::min(kMaxTextBytes, std::max(needed, 2 * m_text.capacity())));
        grown.append(m_text);
        m_text.swap(grown);
    }
    m_text.append(data, length);
}

bool MessageAssembler::chargeKeptText()
{
    if (!m_budget)
        return true;
    if (m_text.capacity() > m_charged && !m_budget->take(m_text.capacity() - m_charged)) {
        // The room kept for growth is the first to go.
        m_text.shrink_to_fit();
        if (m_text.capacity() > m_charged && !m_budget->take(m_text.capacity() - m_charged))
            return false;
    }
    m_charged = std::max(m_charged, m_text.capacity());
    return true;
}

// The text is handed over or dropped: its memory no longer counts.
void MessageAssembler::release()
{
    if (m_budget)
        m_budget->give(m_charged);
    m_charged = 0;
    std::string().swap(m_text);
}

void MessageAssembler::discard()
{
    release();
    m_scanner.reset();
    m_bDiscarding = true;
}
