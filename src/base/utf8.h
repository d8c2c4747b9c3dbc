#pragma once

#include <string>

// Appends the UTF-8 form of one code point. Surrogates are encoded like any other value (three
// bytes), so that a lone surrogate keeps a form of its own; callers that must not produce one
// replace it first.
void appendUtf8(std::string &out, char32_t codePoint);
