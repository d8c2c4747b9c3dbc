#include "base/wholefile.h"

#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>

namespace {

// Protected (nothing inherited from the folder): full access for LocalSystem and the built-in
// Administrators group, none for anyone else.
constexpr wchar_t kAdministratorsOnly[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

bool fail(std::string *error, const std::string &what, DWORD code = GetLastError())
{
    if (error)
        *error = what + ": error " + std::to_string(code);
    return false;
}

} // namespace

bool writeWholeFile(const std::string &path, std::string_view content, FileReaders readers,
                    std::string *error)
{
    static std::atomic<unsigned> s_counter{0};
    const std::wstring target = toWide(path);
    const std::wstring temporary = target + L".new-" + std::to_wstring(GetCurrentProcessId())
            + L"-" + std::to_wstring(s_counter++);

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (readers == FileReaders::Administrators
        && !ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly,
                                                                 SDDL_REVISION_1, &descriptor,
                                                                 nullptr))
        return fail(error, "cannot build the access list");
    const UniqueHandle<PSECURITY_DESCRIPTOR> descriptorGuard(descriptor, LocalFree);
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;

    {
        // Created new with its access list: never readable by others for a moment, and never a
        // file someone left under that name.
        const UniqueHandle<HANDLE> file(
                CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr),
                CloseHandle);
        if (!file || file.get() == INVALID_HANDLE_VALUE)
            return fail(error, "cannot create " + toUtf8(temporary));
        size_t written = 0;
        while (written < content.size()) {
            const DWORD chunk = static_cast<DWORD>(
                    std::min<size_t>(content.size() - written, 1u << 30));
            DWORD done = 0;
            if (!WriteFile(file.get(), content.data() + written, chunk, &done, nullptr)
                || done == 0) {
                const bool failed = fail(error, "cannot write " + toUtf8(temporary));
                DeleteFileW(temporary.c_str());
                return failed;
            }
            written += done;
        }
        if (!FlushFileBuffers(file.get())) {
            const bool failed = fail(error, "cannot write " + toUtf8(temporary));
            DeleteFileW(temporary.c_str());
            return failed;
        }
    }
    // A rename keeps the new file's own access list, whatever the replaced one had.
    if (!MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const bool failed = fail(error, "cannot rename " + toUtf8(temporary) + " to " + path);
        DeleteFileW(temporary.c_str());
        return failed;
    }
    return true;
}

bool pathExists(const std::string &path)
{
    return GetFileAttributesW(toWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool removeFile(const std::string &path)
{
    return DeleteFileW(toWide(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}
