#include "registry.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

std::wstring toWide(const std::string &text)
{
    if (text.empty())
        return {};
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), units);
    return wide;
}

std::string toUtf8(const wchar_t *text, std::size_t length)
{
    if (length == 0)
        return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), bytes, nullptr,
                        nullptr);
    return narrow;
}

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyHandle = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

} // namespace

RegistryString readRegistryString(const std::string &subKey, const std::string &valueName)
{
    RegistryString result;

    // No view flag: a 64-bit service reads the 64-bit view, and WOW6432Node paths the 32-bit one.
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, toWide(subKey).c_str(), 0, KEY_READ, &opened)
        != ERROR_SUCCESS)
        return result;
    const KeyHandle key(opened);
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
    result.text = toUtf8(buffer.data(), static_cast<std::size_t>(terminator - buffer.begin()));
    return result;
}
