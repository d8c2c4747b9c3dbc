#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 and UTF-16 helpers of the harnesses' own, so that an oracle never shares a decoder
// with the code it checks.
namespace fuzzutf {

// Decodes UTF-8, turning every byte that starts no valid sequence into U+FFFD.
std::u32string decodeLenient(std::string_view bytes);
std::string encodeUtf8(std::u32string_view text);
// UTF-16 code units of the text (a code point above U+FFFF takes two).
std::size_t utf16Units(std::u32string_view text);
std::string encodeUtf16Le(std::u32string_view text);
// True when the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool isValidUtf8(std::string_view bytes);

} // namespace fuzzutf
