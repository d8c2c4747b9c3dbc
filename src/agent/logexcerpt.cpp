#include "agent/logexcerpt.h"

#include <algorithm>
#include <cstring>

namespace {

std::size_t shownLength(const std::string &text)
{
    return strnlen(text.c_str(), text.size());
}

bool isContinuationByte(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

QByteArray escapedLogText(const QByteArray &text)
{
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QByteArray escaped;
    escaped.reserve(text.size() + 16);
    for (const char c : text) {
        if (c == '\n')
            escaped += "\\n";
        else if (c == '\r')
            escaped += "\\r";
        else if (isControl(c))
            escaped += "\\u00" + QByteArray::number(static_cast<unsigned char>(c), 16).rightJustified(2, '0').toUpper();
        else
            escaped += c;
    }
    return escaped;
}

bool excerptIsCut(const std::string &text)
{
    return shownLength(text) > kLoggedTextBytes;
}

QByteArray logExcerpt(const std::string &text)
{
    if (!excerptIsCut(text))
        return escapedLogText(QByteArray(text.c_str()));
    // A cut inside a UTF-8 sequence moves to its start, three bytes back at most.
    std::size_t length = kLoggedTextBytes;
    for (int back = 0; back < 3 && isContinuationByte(text[length]); ++back)
        --length;
    return escapedLogText(QByteArray(text.data(), static_cast<int>(length))) + "...";
}
