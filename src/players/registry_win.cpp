#include "players/registry.h"

#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"

#include <windows.h>

#include <algorithm>
#include <vector>

RegistryString readRegistryString(const std::string &subKey, const std::string &valueName)
{
    RegistryString result;

    // Always the 64-bit view, whatever this program was built as: a 32-bit build would otherwise be
    // shown the 32-bit registrations under the plain path. WOW6432Node paths name those
    // explicitly.
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(subKey).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                      &opened)
        != ERROR_SUCCESS)
        return result;
    const UniqueHandle<HKEY> key(opened, RegCloseKey);
    result.outcome = RegistryOutcome::ValueAbsent;

    // Zero-filled, and read only as far as the system says it wrote: a REG_SZ stored without its
    // terminator must not run on into whatever follows.
    std::vector<wchar_t> buffer(kRegistryBufferBytes / sizeof(wchar_t), L'\0');
    DWORD type = REG_SZ;
    DWORD size = static_cast<DWORD>(kRegistryBufferBytes);
    const LONG status = RegQueryValueExW(key.get(), toWide(valueName).c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE *>(buffer.data()), &size);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return result;

    const auto end = buffer.begin()
            + static_cast<std::ptrdiff_t>(std::min<std::size_t>(size, kRegistryBufferBytes)
                                          / sizeof(wchar_t));
    const auto terminator = std::find(buffer.begin(), end, L'\0');
    result.outcome = RegistryOutcome::Found;
    result.text = toUtf8(std::wstring_view(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin())));
    return result;
}
