#pragma once

#include <cstddef>
#include <string>

// The install locations that the players' installers record under HKEY_LOCAL_MACHINE.
// Windows reads the registry itself; Linux reads a registry export (".reg" text) named by
// the environment variable MIRVALE_REGISTRY. Qt-free: shared by both platform files.

// The player discovery falls back differently for each outcome, so they stay apart.
enum class RegistryOutcome { KeyAbsent, ValueAbsent, Found };

struct RegistryString {
    RegistryOutcome outcome = RegistryOutcome::KeyAbsent;
    std::string text; // UTF-8; set only when outcome is Found
};

// The value buffer: 4608 bytes, 2304 UTF-16 units with the terminator. Longer values are absent.
constexpr std::size_t kRegistryBufferBytes = 4608;

// subKey is below HKEY_LOCAL_MACHINE with backslashes ("SOFTWARE\\VideoLAN\\VLC"); UTF-8.
// Only REG_SZ values are found; any other type counts as an absent value.
RegistryString readRegistryString(const std::string &subKey, const std::string &valueName);
