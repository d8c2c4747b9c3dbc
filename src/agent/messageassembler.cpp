#include "agent/messageassembler.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <cstring>

std::optional<MessageAssembler::Outcome>
MessageAssembler::feed(const char *data, std::size_t size, bool endOfMessage)
{
    const void *nul = size ? std::memchr(data, '\0', size) : nullptr;
    const std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - data) : size;

    if (!m_bDiscarding && length > 0) {
        if (m_text.size() + length > kMaxTextBytes) {
            discard();
        } else {
            m_text.append(data, length);
            switch (m_scanner.feed(data, length)) {
            case JsonScanner::Status::Open:
                break;
            case JsonScanner::Status::Closed:
                if (std::optional<QJsonObject> request = parseClosedText()) {
                    Outcome outcome{Outcome::Kind::Request, std::move(m_text), std::move(*request)};
                    m_text.clear();
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

void MessageAssembler::discard()
{
    std::string().swap(m_text);
    m_scanner.reset();
    m_bDiscarding = true;
}
