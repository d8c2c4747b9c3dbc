#pragma once

#include "players/registry.h"

#include <string>
#include <string_view>

// Reading a registry export (".reg" text, as regedit writes it) as if it had been imported
// into an empty registry. Qt-free and pure: no files, no environment, no global state.
//
// Accepted: "Windows Registry Editor Version 5.00" or "REGEDIT4" as the first line, in UTF-16LE
// with a byte-order mark (what regedit writes) or UTF-8 with or without one. Anything else is
// not an export, and every key is absent.

// The export's bytes as UTF-8 text: the byte-order mark is dropped, UTF-16LE is converted and
// unpaired surrogates become U+FFFD. Other bytes pass unchanged.
std::string decodeRegFileText(std::string_view bytes);

// Looks up the REG_SZ value `valueName` ("" for the default value, written @) of the key
// HKEY_LOCAL_MACHINE\`subKey` in the raw bytes of an export. Key and value names compare
// case-insensitively for ASCII. A value of another type, or one whose text with its terminator
// does not fit kRegistryBufferBytes as UTF-16, is absent. Never reads outside `regFileBytes`.
RegistryString findRegistryString(std::string_view regFileBytes, std::string_view subKey,
                                  std::string_view valueName);
