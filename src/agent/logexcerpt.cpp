#include "agent/logexcerpt.h"

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

bool excerptIsCut(const std::string &text)
{
    return shownLength(text) > kLoggedTextBytes;
}

QByteArray logExcerpt(const std::string &text)
{
    if (!excerptIsCut(text))
        return QByteArray(text.c_str());
    // A cut inside a UTF-8 sequence moves to its start, three bytes back at most.
    std::size_t length = kLoggedTextBytes;
    for (int back = 0; back < 3 && isContinuationByte(text[length]); ++back)
        --length;
    return QByteArray(text.data(), static_cast<int>(length)) + "...";
}
