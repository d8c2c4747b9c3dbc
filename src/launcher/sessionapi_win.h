#pragma once

// The system calls behind launchGUIApplication on Windows. Qt-free, Windows only.
//
// A desktop machine cannot produce on demand a console without a logged-on user, a refused
// token or a failed impersonation, so the launcher takes its calls from this table: the real
// functions by default, stand-ins in tests.

#include "launcher/sessionlauncher.h"

#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

struct SessionApi {
    decltype(&::WTSEnumerateSessionsW) enumerateSessions = &::WTSEnumerateSessionsW;
    decltype(&::WTSFreeMemory) freeMemory = &::WTSFreeMemory;
    decltype(&::WTSQueryUserToken) queryUserToken = &::WTSQueryUserToken;
    decltype(&::DuplicateTokenEx) duplicateTokenEx = &::DuplicateTokenEx;
    decltype(&::ImpersonateLoggedOnUser) impersonateLoggedOnUser = &::ImpersonateLoggedOnUser;
    decltype(&::RevertToSelf) revertToSelf = &::RevertToSelf;
    decltype(&::CreateEnvironmentBlock) createEnvironmentBlock = &::CreateEnvironmentBlock;
    decltype(&::DestroyEnvironmentBlock) destroyEnvironmentBlock = &::DestroyEnvironmentBlock;
    decltype(&::CreateProcessAsUserW) createProcessAsUser = &::CreateProcessAsUserW;
    decltype(&::GetProcessTimes) getProcessTimes = &::GetProcessTimes;
    decltype(&::CloseHandle) closeHandle = &::CloseHandle;
    decltype(&::SetThreadToken) setThreadToken = &::SetThreadToken;
    // Ends this process at once when the thread cannot stop acting as the user.
    void (*endProcess)(UINT exitCode) = &endProcessNow;

    static void endProcessNow(UINT exitCode) { TerminateProcess(GetCurrentProcess(), exitCode); }
};

// The narrow buffers of the launch: program path and argument line, terminator included.
constexpr std::size_t kLaunchBufferBytes = 260;

// The desktop the player is started on: the interactive one of the user's session. A service's
// own default would be the invisible desktop of its window station.
inline constexpr wchar_t kInteractiveDesktop[] = L"winsta0\\default";

// launchGUIApplication with the given calls; launchGUIApplication itself passes SessionApi{}.
bool launchGUIApplicationWith(const SessionApi &api, std::string program,
                              std::vector<std::string> arguments, ProcessIdentity *launched);
