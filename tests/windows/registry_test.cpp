// readRegistryString against the real (Wine) registry. The keys live under a root of the
// tests' own in both registry views, created and removed by the tests themselves, so that
// nothing of an installed player is ever touched.

#include "players/registry.h"
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::toWide;

namespace {

const wchar_t kRoot[] = L"SOFTWARE\\MirvaleTest";
const char kPlayer64[] = "SOFTWARE\\MirvaleTest\\VideoLAN\\VLC";
const char kPlayer32[] = "SOFTWARE\\WOW6432Node\\MirvaleTest\\VideoLAN\\VLC";
const wchar_t kPlayerBelowRoot[] = L"SOFTWARE\\MirvaleTest\\VideoLAN\\VLC";

enum class View { Bits64, Bits32 };

REGSAM viewFlag(View view)
{
    return view == View::Bits64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

void removeRoot()
{
    for (View view : { View::Bits64, View::Bits32 }) {
        HKEY software = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | viewFlag(view),
                          &software)
            == ERROR_SUCCESS) {
            RegDeleteTreeW(software, kRoot + 9); // "MirvaleTest"
            RegCloseKey(software);
        }
    }
}

// The player key in one view, with an optional value written raw (type and bytes as given).
void createKey(View view, const wchar_t *valueName = nullptr, DWORD type = REG_SZ,
               const std::vector<BYTE> &data = {})
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPlayerBelowRoot, 0, nullptr, 0,
                              KEY_ALL_ACCESS | viewFlag(view), nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (valueName) {
        EXPECT_EQ(RegSetValueExW(key, valueName, 0, type, data.data(),
                                 static_cast<DWORD>(data.size())),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

std::vector<BYTE> wideBytes(const std::wstring &text, bool terminated = true)
{
    const auto *begin = reinterpret_cast<const BYTE *>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

class Registry : public ::testing::Test
{
protected:
    void SetUp() override { removeRoot(); }
    void TearDown() override { removeRoot(); }
};

const char *name(RegistryOutcome outcome)
{
    switch (outcome) {
    case RegistryOutcome::KeyAbsent:
        return "KeyAbsent";
    case RegistryOutcome::ValueAbsent:
        return "ValueAbsent";
    case RegistryOutcome::Found:
        return "Found";
    }
    return "?";
}

} // namespace

// The rows of the discovery fallback: which key opens in which view decides whether the 32-bit
// registration is consulted, so both reads must keep key and value apart.
TEST_F(Registry, KeyAndViewOutcomes)
{
    struct Row {
        const char *what;
        bool key64, value64, key32, value32;
        RegistryOutcome expected64, expected32;
    };
    const Row rows[] = {
        { "64-bit key with value", true, true, false, false, RegistryOutcome::Found,
          RegistryOutcome::KeyAbsent },
        { "64-bit key without value, 32-bit registered", true, false, true, true,
          RegistryOutcome::ValueAbsent, RegistryOutcome::Found },
        { "32-bit key with value only", false, false, true, true, RegistryOutcome::KeyAbsent,
          RegistryOutcome::Found },
        { "32-bit key without value only", false, false, true, false,
          RegistryOutcome::KeyAbsent, RegistryOutcome::ValueAbsent },
        { "no key at all", false, false, false, false, RegistryOutcome::KeyAbsent,
          RegistryOutcome::KeyAbsent },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        removeRoot();
        if (row.key64)
            createKey(View::Bits64, row.value64 ? L"InstallDir" : nullptr, REG_SZ,
                      wideBytes(L"D:\\Apps\\VLC64"));
        if (row.key32)
            createKey(View::Bits32, row.value32 ? L"InstallDir" : nullptr, REG_SZ,
                      wideBytes(L"D:\\Apps\\VLC32"));

        const RegistryString read64 = readRegistryString(kPlayer64, "InstallDir");
        const RegistryString read32 = readRegistryString(kPlayer32, "InstallDir");
        EXPECT_STREQ(name(read64.outcome), name(row.expected64));
        EXPECT_STREQ(name(read32.outcome), name(row.expected32));
        EXPECT_EQ(read64.text, row.expected64 == RegistryOutcome::Found ? "D:\\Apps\\VLC64" : "");
        EXPECT_EQ(read32.text, row.expected32 == RegistryOutcome::Found ? "D:\\Apps\\VLC32" : "");
    }
}

// Only a REG_SZ that fits the 4608-byte buffer is found, cut at its first NUL and never read
// past what the system returned.
TEST_F(Registry, ValueForms)
{
    const std::wstring fits(2303, L'a');    // 2303 units + NUL = 4608 bytes, the whole buffer
    const std::wstring tooLong(2304, L'b'); // one unit more
    const std::wstring unterminated(2304, L'c');
    DWORD number = 7;
    const std::vector<BYTE> dword(reinterpret_cast<BYTE *>(&number),
                                  reinterpret_cast<BYTE *>(&number) + sizeof(number));
    std::vector<BYTE> oddBytes = wideBytes(fits, false);
    oddBytes.pop_back(); // half a unit at the end
    std::wstring withNul(L"D:\\VLC");
    withNul += L'\0';
    withNul += L"tail";

    struct Row {
        const char *what;
        const wchar_t *valueName; // null: the value is not written
        DWORD type;
        std::vector<BYTE> data;
        RegistryOutcome expected;
        std::string text;
    };
    const std::vector<Row> rows = {
        { "plain path", L"InstallDir", REG_SZ, wideBytes(L"D:\\Apps\\VLC"),
          RegistryOutcome::Found, "D:\\Apps\\VLC" },
        { "trailing backslash kept", L"InstallDir", REG_SZ, wideBytes(L"D:\\Apps\\VLC\\"),
          RegistryOutcome::Found, "D:\\Apps\\VLC\\" },
        { "non-ASCII as UTF-8", L"InstallDir", REG_SZ, wideBytes(L"D:\\Vid\u00e9o\\\u5a92\u4f53"),
          RegistryOutcome::Found, "D:\\Vid\xc3\xa9o\\\xe5\xaa\x92\xe4\xbd\x93" },
        { "empty text", L"InstallDir", REG_SZ, wideBytes(L""), RegistryOutcome::Found, "" },
        { "missing value", nullptr, REG_SZ, {}, RegistryOutcome::ValueAbsent, "" },
        { "other value name only", L"Version", REG_SZ, wideBytes(L"3.0"),
          RegistryOutcome::ValueAbsent, "" },
        { "REG_EXPAND_SZ", L"InstallDir", REG_EXPAND_SZ, wideBytes(L"%ProgramFiles%\\VLC"),
          RegistryOutcome::ValueAbsent, "" },
        { "REG_DWORD", L"InstallDir", REG_DWORD, dword, RegistryOutcome::ValueAbsent, "" },
        { "exactly the buffer", L"InstallDir", REG_SZ, wideBytes(fits), RegistryOutcome::Found,
          std::string(2303, 'a') },
        { "one unit more than the buffer", L"InstallDir", REG_SZ, wideBytes(tooLong),
          RegistryOutcome::ValueAbsent, "" },
        { "cut at the first NUL", L"InstallDir", REG_SZ, wideBytes(withNul),
          RegistryOutcome::Found, "D:\\VLC" },
        { "short text stored without terminator", L"InstallDir", REG_SZ,
          wideBytes(L"D:\\VLC", false), RegistryOutcome::Found, "D:\\VLC" },
        { "odd byte count without terminator", L"InstallDir", REG_SZ, oddBytes,
          RegistryOutcome::Found, std::string(2302, 'a') },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        removeRoot();
        createKey(View::Bits64, row.valueName, row.type, row.data);
        const RegistryString read = readRegistryString(kPlayer64, "InstallDir");
        EXPECT_STREQ(name(read.outcome), name(row.expected));
        EXPECT_EQ(read.text, row.text);
    }

    // A REG_SZ filling the whole buffer without a terminator: Windows returns it as it is,
    // Wine asks for room for a terminator. Either way nothing past the buffer is read.
    removeRoot();
    createKey(View::Bits64, L"InstallDir", REG_SZ, wideBytes(unterminated, false));
    const RegistryString full = readRegistryString(kPlayer64, "InstallDir");
    if (full.outcome == RegistryOutcome::Found) {
        EXPECT_EQ(full.text, std::string(2304, 'c'));
    } else {
        EXPECT_EQ(full.outcome, RegistryOutcome::ValueAbsent);
    }
}

// Key and value names are UTF-8 on our side and reach the registry as the same characters.
TEST_F(Registry, NonAsciiNames)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\MirvaleTest\\Lecteur \u00e9t\u00e9",
                              0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    const std::vector<BYTE> data = wideBytes(L"C:\\\u00e9t\u00e9");
    ASSERT_EQ(RegSetValueExW(key, L"Dossier \u5a92", 0, REG_SZ, data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);

    const RegistryString read =
            readRegistryString("SOFTWARE\\MirvaleTest\\Lecteur \xc3\xa9t\xc3\xa9", "Dossier \xe5\xaa\x92");
    EXPECT_EQ(read.outcome, RegistryOutcome::Found);
    EXPECT_EQ(read.text, "C:\\\xc3\xa9t\xc3\xa9");
}
