#include "messageassembler.h"

#include "protocol/jsonnames.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QString>

#include <cstring>

bool isCompleteJson(std::string text)
{
    // The round trip mirrors the request parser: it stops at a NUL and turns invalid UTF-8
    // into U+FFFD, which QJsonDocument would otherwise refuse.
    const QByteArray utf8 = QString::fromUtf8(text.c_str()).toUtf8();
    // Refused before the parser sees it: the parser would leak the repeated member's value.
    if (hasRepeatedName(utf8))
        return false;
    return !QJsonDocument::fromJson(utf8).isNull();
}

namespace {

// The white space QJsonDocument skips; form feed and vertical tab are not among it.
bool isJsonSpace(unsigned char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r';
}

// QJsonDocument accepts "1.", ".5" and "-.5"; the exact form is left to it.
bool isNumberByte(unsigned char byte)
{
    return (byte >= '0' && byte <= '9') || byte == '.' || byte == '-' || byte == '+'
           || byte == 'e' || byte == 'E';
}

} // namespace

JsonScanner::Status JsonScanner::status() const
{
    switch (m_state) {
    case State::Done:
        return Status::Closed;
    case State::Broken:
        return Status::Broken;
    default:
        return Status::Open;
    }
}

void JsonScanner::reset()
{
    m_state = State::Begin;
    m_bKey = false;
    m_literal = nullptr;
    std::string().swap(m_nesting);
}

JsonScanner::Status JsonScanner::feed(const char *data, std::size_t size)
{
    const auto *byte = reinterpret_cast<const unsigned char *>(data);
    const auto *end = byte + size;
    while (byte < end && m_state != State::Broken) {
        if (m_state == State::InString) {
            // Long strings dominate large requests: skip their plain bytes in one go.
            while (byte < end && *byte != '"' && *byte != '\\')
                ++byte;
            if (byte == end)
                break;
        }
        if (!step(*byte))
            m_state = State::Broken;
        ++byte;
    }
    return status();
}

bool JsonScanner::startValue(unsigned char byte)
{
    switch (byte) {
    case '{':
        m_nesting.push_back('{');
        m_state = State::KeyOrEnd;
        return true;
    case '[':
        m_nesting.push_back('[');
        m_state = State::ValueOrEnd;
        return true;
    case '"':
        m_bKey = false;
        m_state = State::InString;
        return true;
    case 't':
        m_literal = "rue";
        m_state = State::InLiteral;
        return true;
    case 'f':
        m_literal = "alse";
        m_state = State::InLiteral;
        return true;
    case 'n':
        m_literal = "ull";
        m_state = State::InLiteral;
        return true;
    default:
        if (byte == '-' || byte == '.' || (byte >= '0' && byte <= '9')) {
            m_state = State::InNumber;
            return true;
        }
        return false;
    }
}

bool JsonScanner::closeContainer(unsigned char closer)
{
    const char opener = closer == '}' ? '{' : '[';
    if (m_nesting.empty() || m_nesting.back() != opener)
        return false;
    m_nesting.pop_back();
    m_state = m_nesting.empty() ? State::Done : State::AfterValue;
    return true;
}

bool JsonScanner::step(unsigned char byte)
{
    switch (m_state) {
    case State::Begin:
        if (byte == 0xEF) {
            m_state = State::Bom1;
            return true;
        }
        m_state = State::BeforeTop;
        return step(byte);
    case State::Bom1:
        m_state = State::Bom2;
        return byte == 0xBB;
    case State::Bom2:
        m_state = State::BeforeTop;
        return byte == 0xBF;
    case State::BeforeTop:
        if (isJsonSpace(byte))
            return true;
        return (byte == '{' || byte == '[') && startValue(byte);
    case State::ValueOrEnd:
        if (byte == ']')
            return closeContainer(byte);
        [[fallthrough]];
    case State::Value:
        if (isJsonSpace(byte))
            return true;
        return startValue(byte);
    case State::KeyOrEnd:
        if (byte == '}')
            return closeContainer(byte);
        [[fallthrough]];
    case State::Key:
        if (isJsonSpace(byte))
            return true;
        if (byte != '"')
            return false;
        m_bKey = true;
        m_state = State::InString;
        return true;
    case State::Colon:
        if (isJsonSpace(byte))
            return true;
        if (byte != ':')
            return false;
        m_state = State::Value;
        return true;
    case State::AfterValue:
        if (isJsonSpace(byte))
            return true;
        if (byte == ',') {
            m_state = m_nesting.back() == '{' ? State::Key : State::Value;
            return true;
        }
        return (byte == '}' || byte == ']') && closeContainer(byte);
    case State::InString:
        if (byte == '\\')
            m_state = State::InEscape;
        else if (byte == '"')
            m_state = m_bKey ? State::Colon : State::AfterValue;
        return true;
    case State::InEscape:
        // Any escaped byte keeps the string open; "\u" with bad digits is the parser's to refuse.
        m_state = State::InString;
        return true;
    case State::InNumber:
        if (isNumberByte(byte))
            return true;
        m_state = State::AfterValue;
        return step(byte);
    case State::InLiteral:
        if (byte != static_cast<unsigned char>(*m_literal))
            return false;
        if (*++m_literal == '\0')
            m_state = State::AfterValue;
        return true;
    case State::Done:
        return isJsonSpace(byte);
    case State::Broken:
        return false;
    }
    return false;
}

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
                if (isCompleteJson(m_text)) {
                    Outcome outcome{Outcome::Kind::Request, std::move(m_text)};
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
        return Outcome{Outcome::Kind::Unsupported, std::string()};
    }
    return std::nullopt;
}

void MessageAssembler::discard()
{
    std::string().swap(m_text);
    m_scanner.reset();
    m_bDiscarding = true;
}
