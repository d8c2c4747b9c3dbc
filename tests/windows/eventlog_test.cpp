// The service's entries in the event log carry their own text: the source names the executable,
// whose message table turns each entry's text into its description. Also the executable's other
// resources: its icon and version.

#include "service/servicecontrol_win.h"
#include "support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

const char kSourceName[] = "MirvaleWineTestSource";
const wchar_t kSourceKey[] =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\MirvaleWineTestSource";

struct SourceValues {
    LONG opened = ERROR_FILE_NOT_FOUND;
    DWORD fileType = 0;
    std::wstring file;
    DWORD types = 0;
};

SourceValues readSource()
{
    SourceValues values;
    HKEY key = nullptr;
    values.opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ | KEY_WOW64_64KEY,
                                  &key);
    if (values.opened != ERROR_SUCCESS)
        return values;
    wchar_t file[MAX_PATH * 2] = {};
    DWORD size = sizeof(file);
    RegQueryValueExW(key, L"EventMessageFile", nullptr, &values.fileType,
                     reinterpret_cast<BYTE *>(file), &size);
    values.file = file;
    size = sizeof(values.types);
    RegQueryValueExW(key, L"TypesSupported", nullptr, nullptr,
                     reinterpret_cast<BYTE *>(&values.types), &size);
    RegCloseKey(key);
    return values;
}

} // namespace

TEST(EventLog, SourceRegistrationNamesTheMessageFile)
{
    servicecontrol::unregisterEventSource(kSourceName);
    const std::wstring service = testsupport::besideTests(L"mirvale.exe");
    ASSERT_EQ(servicecontrol::registerEventSource(kSourceName, "C:\\Old\\mirvale.exe"), 0ul);
    // Registering again (a reinstall elsewhere) points the source at the new file.
    ASSERT_EQ(servicecontrol::registerEventSource(kSourceName, testsupport::toUtf8(service)), 0ul);
    const SourceValues values = readSource();
    ASSERT_EQ(values.opened, ERROR_SUCCESS);
    EXPECT_EQ(values.fileType, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(values.file, service);
    EXPECT_EQ(values.types, 7u) << "error, warning and information entries";

    EXPECT_EQ(servicecontrol::unregisterEventSource(kSourceName), 0ul);
    EXPECT_EQ(readSource().opened, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(servicecontrol::unregisterEventSource(kSourceName),
              static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
}

// What Event Viewer does with an entry: the event id (0 for every entry of the service, whatever
// its type) is looked up in the message file and the entry's text inserted.
TEST(EventLog, MessageTableShowsTheEntryTextAsItIs)
{
    const std::wstring service = testsupport::besideTests(L"mirvale.exe");
    const HMODULE module = LoadLibraryExW(service.c_str(), nullptr,
                                          LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr) << "cannot load " << testsupport::toUtf8(service);
    for (const wchar_t *text : { L"CMD_CLIENT:C:/Program Files/VideoLAN/VLC/vlc.exe",
                                 L"launchGUIApplication WTSQueryUserToken result:1008",
                                 L"100% \"quoted\" %2 %% text" }) {
        SCOPED_TRACE(testsupport::toUtf8(text));
        DWORD_PTR arguments[] = { reinterpret_cast<DWORD_PTR>(text) };
        wchar_t *formatted = nullptr;
        const DWORD length = FormatMessageW(
                FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY
                        | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                module, 0, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                reinterpret_cast<LPWSTR>(&formatted), 0,
                reinterpret_cast<va_list *>(arguments));
        ASSERT_GT(length, 0u) << "message 0 missing: error " << GetLastError();
        EXPECT_EQ(std::wstring(formatted, length), text);
        LocalFree(formatted);
    }
    // The icon for Explorer and the service list, beside the one Qt compiles in.
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */),
              nullptr);
    FreeLibrary(module);
}

TEST(Resources, VersionCarriesTheServiceVersion)
{
    const std::wstring service = testsupport::besideTests(L"mirvale.exe");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(service.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(service.c_str(), 0, size, block.data()));
    wchar_t *value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void **>(&value), &length));
    EXPECT_EQ(testsupport::toUtf8(value), MIRVALE_VERSION);
}
