#include "launcher/sessionlauncher.h"

#include "base/exectexts.h"
#include "base/servicelog.h"
#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"
#include "launcher/sessionapi_win.h"

#include <algorithm>
#include <utility>

namespace {

// One space before every argument, no quotes, the program not included: the player's own
// parser takes the first word as its name, and a path with a space becomes two words.
std::string argumentLineOf(const std::vector<std::string> &arguments)
{
    std::string line;
    for (const std::string &argument : arguments) {
        line += ' ';
        line += argument;
    }
    return line;
}

// A text the narrow buffer holds whole: shorter than the buffer, and without a NUL that would
// silently cut the command line short.
bool fitsBuffer(const std::string &text)
{
    return text.size() < kLaunchBufferBytes && !holdsNulByte(text);
}

// The first active session in the list, whatever its window station; session 0 when none is
// active or the list cannot be had.
DWORD activeSessionId(const SessionApi &api)
{
    PWTS_SESSION_INFOW listed = nullptr;
    DWORD count = 0;
    const BOOL ok = api.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &listed, &count);
    const UniqueHandle<PWTS_SESSION_INFOW> sessions(listed, api.freeMemory);
    if (ok && sessions) {
        for (DWORD i = 0; i < count; ++i) {
            if (sessions.get()[i].State == WTSActive)
                return sessions.get()[i].SessionId;
        }
    }
    return 0;
}

// The user's environment block; none when it cannot be built, and the child then inherits the
// service's environment.
UniqueHandle<LPVOID> userEnvironment(const SessionApi &api, HANDLE primaryToken)
{
    LPVOID block = nullptr;
    if (!api.createEnvironmentBlock(&block, primaryToken, TRUE))
        return {};
    return UniqueHandle<LPVOID>(block, api.destroyEnvironmentBlock);
}

// What the slot keeps of a created process: its id, and its creation time read from its handle
// before the handles are closed (a process that has already ended still has one then). The
// player itself is never waited for.
ProcessIdentity identityOf(const SessionApi &api, const PROCESS_INFORMATION &created)
{
    const UniqueHandle<HANDLE> process(created.hProcess, api.closeHandle);
    const UniqueHandle<HANDLE> thread(created.hThread, api.closeHandle);
    FILETIME creation{}, exit{}, kernel{}, user{};
    const bool timed = api.getProcessTimes(process.get(), &creation, &exit, &kernel, &user);
    return {static_cast<long long>(created.dwProcessId), timed ? startTimeOf(creation) : 0};
}

// Creates the process with the user's token on the calling thread, which impersonates the user.
// Returns the creation's error code, 0 on success.
DWORD createProcess(const SessionApi &api, HANDLE primaryToken, LPVOID environment,
                    const std::string &program, const std::string &argumentLine,
                    ProcessIdentity *launched)
{
    std::wstring desktop = kInteractiveDesktop;
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    startupInfo.lpDesktop = desktop.data();
    SECURITY_ATTRIBUTES processAttributes{};
    processAttributes.nLength = sizeof(processAttributes);
    processAttributes.bInheritHandle = FALSE;
    SECURITY_ATTRIBUTES threadAttributes = processAttributes;
    DWORD creationFlags = NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
    if (environment)
        creationFlags |= CREATE_UNICODE_ENVIRONMENT;

    // A byte sequence never yields more UTF-16 units than bytes, so what fit the narrow
    // buffers fits the wide ones.
    const std::wstring wideProgram = toWide(program);
    std::wstring wideArgumentLine = toWide(argumentLine);

    PROCESS_INFORMATION processInformation{};
    const BOOL created = api.createProcessAsUser(primaryToken, wideProgram.c_str(),
                                                 wideArgumentLine.data(), &processAttributes,
                                                 &threadAttributes, FALSE, creationFlags,
                                                 environment, nullptr, &startupInfo,
                                                 &processInformation);
    // Taken before any other call can overwrite it; a failure reported without a code still
    // counts as one.
    const DWORD error = created ? NO_ERROR : std::max<DWORD>(GetLastError(), 1);
    const ProcessIdentity identity = created ? identityOf(api, processInformation)
                                             : ProcessIdentity{};
    if (launched)
        *launched = identity;
    return error;
}

// Ends the impersonation. Should that fail, the thread would go on as the user, downloading and
// writing files with the user's rights: its token is dropped another way, and when that fails
// too the process ends at once rather than let the thread continue.
void revertImpersonation(const SessionApi &api)
{
    if (api.revertToSelf())
        return;
    const DWORD error = GetLastError();
    writeServiceLog("launchGUIApplication RevertToSelf result:" + std::to_string(error));
    if (api.setThreadToken(nullptr, nullptr))
        return;
    writeServiceLog("launchGUIApplication SetThreadToken result:" + std::to_string(GetLastError()));
    api.endProcess(error != 0 ? error : ERROR_CANNOT_IMPERSONATE);
}

} // namespace

bool launchGUIApplicationWith(const SessionApi &api, std::string program,
                              std::vector<std::string> arguments, ProcessIdentity *launched)
{
    const std::string argumentLine = argumentLineOf(arguments);
    // Checked before any token is taken: nothing to release, and nothing written past a buffer.
    if (!fitsBuffer(program) || !fitsBuffer(argumentLine)) {
        writeServiceLog("launchGUIApplication command line rejected");
        return false;
    }

    HANDLE token = nullptr;
    if (!api.queryUserToken(activeSessionId(api), &token)) {
        const DWORD error = GetLastError();
        writeServiceLog("launchGUIApplication WTSQueryUserToken result:" + std::to_string(error));
        return false;
    }
    const UniqueHandle<HANDLE> userToken(token, api.closeHandle);

    token = nullptr;
    if (!api.duplicateTokenEx(userToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                              TokenPrimary, &token))
        return false;
    const UniqueHandle<HANDLE> primaryToken(token, api.closeHandle);
    writeServiceLog("launchGUIApplication DuplicateTokenEx enter");

    if (!api.impersonateLoggedOnUser(primaryToken.get()))
        return false;
    writeServiceLog("launchGUIApplication ImpersonateLoggedOnUser enter");

    // Released in reverse: the block, then the primary token, then the user token, all after
    // the impersonation has ended.
    const UniqueHandle<LPVOID> environment = userEnvironment(api, primaryToken.get());
    const DWORD error = createProcess(api, primaryToken.get(), environment.get(), program,
                                      argumentLine, launched);
    revertImpersonation(api);
    // Written as the service again.
    if (error != NO_ERROR)
        writeServiceLog("launchGUIApplication CreateProcessAsUserW result:" + std::to_string(error));
    return error == NO_ERROR;
}

bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          ProcessIdentity *launched)
{
    return launchGUIApplicationWith(SessionApi{}, std::move(program), std::move(arguments),
                                    launched);
}
