#include "support.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace testsupport {

bool runningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring besideTests(const std::wstring &fileName)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + fileName;
}

std::wstring tempPath(const std::wstring &stem)
{
    static std::atomic<unsigned> counter{ 0 };
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"mirvale-" + stem + L"-"
            + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    DeleteFileW(path.c_str());
    return path;
}

std::string readFile(const std::wstring &path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

DWORD runProgram(const std::wstring &program, const std::wstring &commandLine,
                 std::string *output, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES inheritable{ sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE };
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return ~0u;
    Handle reader(readEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = INVALID_HANDLE_VALUE;
    startupInfo.hStdOutput = writeEnd;
    startupInfo.hStdError = writeEnd;
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    const BOOL started = CreateProcessW(program.empty() ? nullptr : program.c_str(), line.data(),
                                        nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                        &startupInfo, &info);
    CloseHandle(writeEnd);
    if (!started)
        return ~0u;
    Handle process(info.hProcess);
    Handle thread(info.hThread);

    // Drained on a thread so that a chatty program never blocks on a full pipe.
    std::string collected;
    std::thread drain([&] {
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(readEnd, chunk, sizeof(chunk), &got, nullptr) && got > 0)
            collected.append(chunk, got);
    });
    const DWORD waited = WaitForSingleObject(process.get(), timeoutMs);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.get(), 1);
    drain.join();
    if (output)
        *output = collected;
    DWORD exitCode = ~0u;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process.get(), &exitCode))
        return ~0u;
    return exitCode;
}

bool waitForProcessEnd(DWORD processId, DWORD timeoutMs)
{
    const Handle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process.get())
        return GetLastError() == ERROR_INVALID_PARAMETER; // already gone
    return WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

} // namespace testsupport
