#include "players/regfile.h"

#include "base/utf8.h"

#include <cstdint>
#include <vector>

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr char32_t kReplacement = 0xFFFD;

std::string utf16LeToUtf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() / 2);
    const std::size_t units = bytes.size() / 2; // an odd last byte is no unit
    auto unitAt = [&](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i])
                                     | (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    };
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char16_t low = unitAt(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : char32_t(u));
    }
    return out;
}

// Decodes one code point of UTF-8 at `pos`; malformed input yields U+FFFD for one byte.
char32_t nextCodePoint(std::string_view s, std::size_t &pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(pos);
    std::size_t length;
    char32_t cp;
    char32_t minimum;
    if (b0 < 0x80) {
        ++pos;
        return b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        length = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return kReplacement;
    }
    if (s.size() - pos < length) {
        ++pos;
        return kReplacement;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char b = byte(pos + i);
        if ((b & 0xC0) != 0x80) {
            ++pos;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacement;
    }
    pos += length;
    return cp;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// `inner` is `outer` itself or one of its sub-keys.
bool isSameOrBelow(std::string_view inner, std::string_view outer)
{
    if (!startsWithIgnoreCase(inner, outer))
        return false;
    return inner.size() == outer.size() || inner[outer.size()] == '\\';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (isBlank(s.front()) || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A quoted string with regedit's two escapes (\\ and \") starting after its opening quote.
// Advances `pos` past the closing quote; false when the line ends first or an escape is unknown.
bool parseQuoted(std::string_view line, std::size_t &pos, std::string &out)
{
    while (pos < line.size()) {
        const char c = line[pos++];
        if (c == '"')
            return true;
        if (c == '\\') {
            if (pos >= line.size() || (line[pos] != '\\' && line[pos] != '"'))
                return false;
            out += line[pos++];
        } else {
            out += c;
        }
    }
    return false;
}

enum class ValueKind { Absent, Text, OtherType };

struct ValueLine {
    std::string name;
    ValueKind kind = ValueKind::Absent; // Absent: "Name"=- deletes the value
    std::string text;
    bool continues = false; // data runs on into the next line (hex forms)
};

// One value line ("Name"=..., @=...); false when it is malformed.
bool parseValueLine(std::string_view line, ValueLine &value)
{
    std::size_t pos = 1;
    if (line.front() == '"') {
        if (!parseQuoted(line, pos, value.name))
            return false;
    } else if (line.front() != '@') {
        return false;
    }
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    if (pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    while (pos < line.size() && isBlank(line[pos]))
        ++pos;
    const std::string_view data = trimmed(line.substr(pos));
    if (!data.empty() && data.front() == '"') {
        std::size_t at = 1;
        if (!parseQuoted(data, at, value.text) || at != data.size())
            return false;
        value.kind = ValueKind::Text;
        return true;
    }
    if (data == "-") {
        value.kind = ValueKind::Absent;
        return true;
    }
    if (startsWithIgnoreCase(data, "hex") || startsWithIgnoreCase(data, "dword:")) {
        value.kind = ValueKind::OtherType;
        value.continues = data.back() == '\\';
        return true;
    }
    return false;
}

// The text as RegQueryValueExW would hand it over: it must fit the buffer as UTF-16 with its
// terminator, and ends at the first NUL. Malformed UTF-8 becomes U+FFFD.
bool fitRegistryBuffer(std::string_view text, std::string &out)
{
    constexpr std::size_t maxUnits = kRegistryBufferBytes / 2;
    std::size_t units = 1; // the terminator
    bool ended = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = nextCodePoint(text, pos);
        units += cp >= 0x10000 ? 2 : 1;
        if (units > maxUnits)
            return false;
        if (cp == 0)
            ended = true;
        if (!ended)
            appendUtf8(out, cp);
    }
    return true;
}

} // namespace

std::string decodeRegFileText(std::string_view bytes)
{
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE')
        return utf16LeToUtf8(bytes.substr(2));
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        return std::string(bytes.substr(3));
    return std::string(bytes);
}

RegistryString findRegistryString(std::string_view regFileBytes, std::string_view subKey,
                                  std::string_view valueName)
{
    const std::string text = decodeRegFileText(regFileBytes);
    const std::vector<std::string_view> lines = splitLines(text);

    std::size_t index = 0;
    while (index < lines.size() && trimmed(lines[index]).empty())
        ++index;
    if (index == lines.size())
        return {};
    const std::string_view header = trimmed(lines[index++]);
    if (header != kHeader5 && header != kHeader4)
        return {};

    std::string target(kRoot);
    if (!subKey.empty())
        target.append("\\").append(subKey);

    // Replays the export in order, as an import into an empty registry would.
    bool keyExists = false;
    bool inTarget = false; // the current section is the target key
    ValueKind kind = ValueKind::Absent;
    std::string found;

    while (index < lines.size()) {
        std::string_view line = trimmed(lines[index++]);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            inTarget = false;
            if (line.back() != ']')
                continue;
            std::string_view path = line.substr(1, line.size() - 2);
            if (!path.empty() && path.front() == '-') {
                path.remove_prefix(1);
                if (isSameOrBelow(target, path)) {
                    keyExists = false;
                    kind = ValueKind::Absent;
                    found.clear();
                }
                continue;
            }
            if (isSameOrBelow(path, target)) {
                keyExists = true; // creating a sub-key creates its parents
                inTarget = path.size() == target.size();
            }
            continue;
        }
        if (line.front() != '"' && line.front() != '@')
            continue;
        ValueLine value;
        const bool wellFormed = parseValueLine(line, value);
        if (wellFormed && value.continues) {
            while (index < lines.size()) {
                const std::string_view next = trimmed(lines[index++]);
                if (next.empty() || next.back() != '\\')
                    break;
            }
        }
        if (!wellFormed || !inTarget || !equalsIgnoreCase(value.name, valueName))
            continue;
        kind = value.kind;
        found = std::move(value.text);
    }

    RegistryString result;
    if (!keyExists)
        return result;
    result.outcome = RegistryOutcome::ValueAbsent;
    std::string fitted;
    if (kind == ValueKind::Text && fitRegistryBuffer(found, fitted)) {
        result.outcome = RegistryOutcome::Found;
        result.text = std::move(fitted);
    }
    return result;
}
