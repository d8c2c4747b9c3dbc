#include "agent/jsonscanner.h"

#include "base/utf8.h"

#include <algorithm>
#include <string_view>

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

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A name with escapes, decoded to UTF-8 in which a lone surrogate keeps a three-byte form of
// its own: two names come out equal exactly when the parser's UTF-16 names are equal. Text
// the parser refuses (a bad escape) needs no exact form: its object never completes.
std::string decodedName(const char *from, const char *end)
{
    std::string name;
    unsigned high = 0; // a high surrogate waiting for its low half
    const auto flushHigh = [&] {
        if (high)
            appendUtf8(name, high);
        high = 0;
    };
    for (const char *at = from; at < end;) {
        if (*at != '\\') {
            flushHigh();
            name.push_back(*at++);
            continue;
        }
        if (++at == end)
            break;
        const char escape = *at++;
        unsigned unit;
        switch (escape) {
        case 'b': unit = 0x08; break;
        case 'f': unit = 0x0C; break;
        case 'n': unit = 0x0A; break;
        case 'r': unit = 0x0D; break;
        case 't': unit = 0x09; break;
        case 'u':
            unit = 0;
            for (int digits = 0; digits < 4 && at < end && hexValue(*at) >= 0; ++digits)
                unit = unit * 16 + unsigned(hexValue(*at++));
            break;
        default: unit = static_cast<unsigned char>(escape); break;
        }
        if (high && unit >= 0xDC00 && unit <= 0xDFFF) {
            appendUtf8(name, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
            high = 0;
            continue;
        }
        flushHigh();
        if (unit >= 0xD800 && unit <= 0xDBFF)
            high = unit;
        else
            appendUtf8(name, unit);
    }
    flushHigh();
    return name;
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
    std::string().swap(m_names);
    std::vector<Name>().swap(m_nameList);
    std::vector<OpenObject>().swap(m_objects);
    m_nameStart = 0;
    m_bNameEscaped = false;
    m_bRepeatedName = false;
}

JsonScanner::Status JsonScanner::feed(const char *data, std::size_t size)
{
    const auto *byte = reinterpret_cast<const unsigned char *>(data);
    const auto *end = byte + size;
    while (byte < end && m_state != State::Broken) {
        if (m_state == State::InString) {
            // Long strings dominate large requests: skip their plain bytes in one go.
            const auto *plain = byte;
            while (byte < end && *byte != '"' && *byte != '\\')
                ++byte;
            if (collectingNames())
                m_names.append(reinterpret_cast<const char *>(plain), std::size_t(byte - plain));
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
    if ((byte == '{' || byte == '[') && m_nesting.size() >= kMaxDepth)
        return false;
    switch (byte) {
    case '{':
        m_nesting.push_back('{');
        if (!m_bRepeatedName)
            m_objects.push_back({m_nameList.size(), m_names.size()});
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
    if (opener == '{')
        checkNames();
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
        m_nameStart = m_names.size();
        m_bNameEscaped = false;
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
        if (byte == '"') {
            if (m_bKey)
                endName();
            m_state = m_bKey ? State::Colon : State::AfterValue;
            return true;
        }
        if (collectingNames()) {
            m_names.push_back(static_cast<char>(byte));
            m_bNameEscaped = m_bNameEscaped || byte == '\\';
        }
        if (byte == '\\')
            m_state = State::InEscape;
        return true;
    case State::InEscape:
        // Any escaped byte keeps the string open; "\u" with bad digits is the parser's to refuse.
        if (collectingNames())
            m_names.push_back(static_cast<char>(byte));
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

void JsonScanner::endName()
{
    if (m_bRepeatedName)
        return;
    if (m_bNameEscaped) {
        const std::string decoded = decodedName(m_names.data() + m_nameStart, m_names.data() + m_names.size());
        m_names.replace(m_nameStart, std::string::npos, decoded);
    }
    m_nameList.push_back({m_nameStart, m_names.size() - m_nameStart});
}

// An object closes: its names are compared, then dropped.
void JsonScanner::checkNames()
{
    if (m_bRepeatedName)
        return;
    const OpenObject object = m_objects.back();
    m_objects.pop_back();
    const std::string_view names(m_names);
    const auto text = [&](const Name &name) { return names.substr(name.offset, name.length); };
    const auto first = m_nameList.begin() + static_cast<std::ptrdiff_t>(object.firstName);
    std::sort(first, m_nameList.end(), [&](const Name &a, const Name &b) { return text(a) < text(b); });
    const bool repeated = std::adjacent_find(first, m_nameList.end(), [&](const Name &a, const Name &b) {
                              return text(a) == text(b);
                          }) != m_nameList.end();
    if (repeated) {
        m_bRepeatedName = true;
        std::string().swap(m_names);
        std::vector<Name>().swap(m_nameList);
        std::vector<OpenObject>().swap(m_objects);
        return;
    }
    m_nameList.resize(object.firstName);
    m_names.resize(object.namesSize);
}
