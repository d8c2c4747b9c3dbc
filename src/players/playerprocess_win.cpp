#include "playerprocess.h"

#include <windows.h>

#include <memory>
#include <string>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

bool isProcessId(long long pid)
{
    return pid > 0 && pid <= static_cast<long long>(MAXDWORD);
}

} // namespace

long long processStartTime(long long pid)
{
    if (!isProcessId(pid))
        return 0;
    const Handle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    if (!process)
        return 0;
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user))
        return 0;
    ULARGE_INTEGER time{};
    time.LowPart = creation.dwLowDateTime;
    time.HighPart = creation.dwHighDateTime;
    return static_cast<long long>(time.QuadPart);
}

void killPlayerProcess(long long pid, long long startTime)
{
    if (!isProcessId(pid))
        return;
    // The system reuses ids: once the creation time no longer matches, the id belongs to a
    // process the agent never started. 0 means the identity was not known at launch.
    if (startTime != 0 && processStartTime(pid) != startTime)
        return;

    // Named by full path: a service must not pick up a taskkill.exe from its current folder.
    wchar_t systemFolder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::wstring program = std::wstring(systemFolder) + L"\\taskkill.exe";
    std::wstring commandLine = L"taskkill /f /PID " + std::to_wstring(pid);

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInformation{};
    // Without a console: the tool's output has no reader, and no console host is started.
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                       DETACHED_PROCESS, nullptr, nullptr, &startupInfo, &processInformation)) {
        CloseHandle(processInformation.hThread);
        CloseHandle(processInformation.hProcess);
    }
}
