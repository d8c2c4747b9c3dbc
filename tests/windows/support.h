#pragma once

// Small helpers shared by the Windows tests (run under Wine by scripts/wine-tests.sh).

#include "base/widestring_win.h"

#include <windows.h>

#include <string>

namespace testsupport {

using ::toUtf8;
using ::toWide;

// True when these tests run under Wine rather than on Windows.
bool runningUnderWine();

// A program built beside the test executable (mirvale_win_child.exe, ...).
std::wstring besideTests(const std::wstring &fileName);

// A fresh path in the temporary folder, without spaces (it is passed on unquoted command lines).
std::wstring tempPath(const std::wstring &stem);

// The whole file as bytes; empty when it cannot be read.
std::string readFile(const std::wstring &path);

// Runs a console program, collects its standard output and waits (bounded) for it to end.
// Returns its exit code, or ~0u when it could not be started or did not end in time.
DWORD runProgram(const std::wstring &program, const std::wstring &commandLine,
                 std::string *output = nullptr, DWORD timeoutMs = 60000);

// Waits (bounded) for a process that may already have ended; true when it has ended.
bool waitForProcessEnd(DWORD processId, DWORD timeoutMs = 30000);

// Closes a kernel handle when it leaves scope.
class Handle
{
public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle && m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

} // namespace testsupport
