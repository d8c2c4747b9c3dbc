#pragma once

#include <string>
#include <string_view>

// UTF-8 and the UTF-16 of the Win32 wide calls. Qt-free, Windows only (widestring_win.cpp).

std::wstring toWide(std::string_view utf8);
std::string toUtf8(std::wstring_view wide);
