#include "fuzzutf.h"

namespace fuzzutf {

namespace {

// Length of the valid sequence at pos, 0 when none starts there.
std::size_t sequenceAt(std::string_view s, std::size_t pos, char32_t *out)
{
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char first = b(pos);
    if (first < 0x80) {
        *out = first;
        return 1;
    }
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (first >= 0xC2 && first <= 0xDF)
        length = 2, cp = first & 0x1F, minimum = 0x80;
    else if (first >= 0xE0 && first <= 0xEF)
        length = 3, cp = first & 0x0F, minimum = 0x800;
    else if (first >= 0xF0 && first <= 0xF4)
        length = 4, cp = first & 0x07, minimum = 0x10000;
    else
        return 0;
    if (s.size() - pos < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((b(pos + i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(pos + i) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *out = cp;
    return length;
}

} // namespace

std::u32string decodeLenient(std::string_view bytes)
{
    std::u32string text;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t cp = 0;
        const std::size_t length = sequenceAt(bytes, pos, &cp);
        text.push_back(length ? cp : U'\uFFFD');
        pos += length ? length : 1;
    }
    return text;
}

std::string encodeUtf8(std::u32string_view text)
{
    std::string out;
    for (const char32_t cp : text) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::size_t utf16Units(std::u32string_view text)
{
    std::size_t units = 0;
    for (const char32_t cp : text)
        units += cp >= 0x10000 ? 2 : 1;
    return units;
}

std::string encodeUtf16Le(std::u32string_view text)
{
    std::string out;
    const auto unit = [&](char32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    };
    for (const char32_t cp : text) {
        if (cp >= 0x10000) {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

bool isValidUtf8(std::string_view bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        char32_t cp = 0;
        const std::size_t length = sequenceAt(bytes, pos, &cp);
        if (length == 0)
            return false;
        pos += length;
    }
    return true;
}

} // namespace fuzzutf
