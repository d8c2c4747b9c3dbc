#include "players/playerprocess.h"

#include "base/uniquehandle_win.h"

#include <windows.h>

#include <string>

void killPlayerProcess(long long pid, long long startTime)
{
    if (pid <= 0 || pid > static_cast<long long>(MAXDWORD))
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
        const UniqueHandle<HANDLE> process(processInformation.hProcess, CloseHandle);
        const UniqueHandle<HANDLE> thread(processInformation.hThread, CloseHandle);
    }
}
