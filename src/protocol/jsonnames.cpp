#include "jsonnames.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The closing quote of the string whose contents start at `from`, or `end` when it stays open.
// A quote is escaped exactly when an odd run of backslashes precedes it.
const char *closingQuote(const char *from, const char *end)
{
    for (const char *at = from; at < end;) {
        const auto *quote = static_cast<const char *>(std::memchr(at, '"', std::size_t(end - at)));
        if (!quote)
            return end;
        const char *run = quote;
        while (run > from && run[-1] == '\\')
            --run;
        if ((quote - run) % 2 == 0)
            return quote;
        at = quote + 1;
    }
    return end;
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

void appendCodePoint(std::string &out, unsigned point)
{
    if (point < 0x80) {
        out.push_back(char(point));
    } else if (point < 0x800) {
        out.push_back(char(0xC0 | (point >> 6)));
        out.push_back(char(0x80 | (point & 0x3F)));
    } else if (point < 0x10000) {
        out.push_back(char(0xE0 | (point >> 12)));
        out.push_back(char(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(char(0x80 | (point & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (point >> 18)));
        out.push_back(char(0x80 | ((point >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((point >> 6) & 0x3F)));
        out.push_back(char(0x80 | (point & 0x3F)));
    }
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
            appendCodePoint(name, high);
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
            appendCodePoint(name, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
            high = 0;
            continue;
        }
        flushHigh();
        if (unit >= 0xD800 && unit <= 0xDBFF)
            high = unit;
        else
            appendCodePoint(name, unit);
    }
    flushHigh();
    return name;
}

} // namespace

bool hasRepeatedName(const QByteArray &utf8)
{
    struct Level {
        bool object;
        bool expectingName;
    };
    std::vector<Level> levels;
    // Names of the open object at each depth; the vectors are reused, so that many small
    // objects cost no allocations.
    std::vector<std::vector<std::string_view>> names;
    std::deque<std::string> decoded; // names with escapes, decoded; the views point into it

    const char *const begin = utf8.constData();
    const char *const end = begin + utf8.size();
    for (const char *at = begin; at < end;) {
        switch (*at) {
        case '{':
        case '[':
            levels.push_back({*at == '{', *at == '{'});
            if (names.size() < levels.size())
                names.emplace_back();
            names[levels.size() - 1].clear();
            ++at;
            break;
        case '}':
        case ']':
            if (!levels.empty()) {
                std::vector<std::string_view> &own = names[levels.size() - 1];
                if (levels.back().object) {
                    std::sort(own.begin(), own.end());
                    if (std::adjacent_find(own.begin(), own.end()) != own.end())
                        return true;
                }
                levels.pop_back();
                if (!levels.empty())
                    levels.back().expectingName = false;
            }
            ++at;
            break;
        case ',':
            if (!levels.empty())
                levels.back().expectingName = levels.back().object;
            ++at;
            break;
        case '"': {
            const char *const from = at + 1;
            const char *const quote = closingQuote(from, end);
            if (!levels.empty() && levels.back().expectingName) {
                levels.back().expectingName = false;
                std::string_view name(from, std::size_t(quote - from));
                if (name.find('\\') != std::string_view::npos) {
                    decoded.push_back(decodedName(from, quote));
                    name = decoded.back();
                }
                names[levels.size() - 1].push_back(name);
            }
            at = quote < end ? quote + 1 : end;
            break;
        }
        default:
            ++at;
            break;
        }
    }
    return false;
}
