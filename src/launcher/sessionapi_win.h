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
};

// The narrow buffers of the launch: program path and argument line, terminator included.
constexpr std::size_t kLaunchBufferBytes = 260;

// launchGUIApplication with the given calls; launchGUIApplication itself passes SessionApi{}.
bool launchGUIApplicationWith(const SessionApi &api, std::string program,
                              std::vector<std::string> arguments, ProcessIdentity *launched,
                              LauncherLog log);
