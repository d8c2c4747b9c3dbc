#include "base/processidentity.h"

#include "base/uniquehandle_win.h"

#include <windows.h>

long long startTimeOf(const FILETIME &creation)
{
    ULARGE_INTEGER time{};
    time.LowPart = creation.dwLowDateTime;
    time.HighPart = creation.dwHighDateTime;
    return static_cast<long long>(time.QuadPart);
}

long long processStartTime(long long pid)
{
    if (pid <= 0 || pid > static_cast<long long>(MAXDWORD))
        return 0;
    const UniqueHandle<HANDLE> process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)),
            CloseHandle);
    if (!process)
        return 0;
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetProcessTimes(process.get(), &creation, &exit, &kernel, &user))
        return 0;
    return startTimeOf(creation);
}
