#include "launcher/sessionlauncher.h"

#include "base/uniquehandle_win.h"
#include "base/widestring_win.h"
#include "launcher/sessionapi_win.h"

#include <utility>

namespace {

void write(LauncherLog log, const std::string &entry)
{
    if (log)
        log(entry);
}

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
    return text.size() < kLaunchBufferBytes && text.find('\0') == std::string::npos;
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
bool createProcess(const SessionApi &api, HANDLE primaryToken, LPVOID environment,
                   const std::string &program, const std::string &argumentLine,
                   ProcessIdentity *launched)
{
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
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
    const ProcessIdentity identity = created ? identityOf(api, processInformation)
                                             : ProcessIdentity{};
    if (launched)
        *launched = identity;
    return created != FALSE;
}

} // namespace

bool launchGUIApplicationWith(const SessionApi &api, std::string program,
                              std::vector<std::string> arguments, ProcessIdentity *launched,
                              LauncherLog log)
{
    const std::string argumentLine = argumentLineOf(arguments);
    // Checked before any token is taken: nothing to release, and nothing written past a buffer.
    if (!fitsBuffer(program) || !fitsBuffer(argumentLine)) {
        write(log, "launchGUIApplication command line rejected");
        return false;
    }

    HANDLE token = nullptr;
    if (!api.queryUserToken(activeSessionId(api), &token)) {
        const DWORD error = GetLastError();
        write(log, "launchGUIApplication WTSQueryUserToken result:" + std::to_string(error));
        return false;
    }
    const UniqueHandle<HANDLE> userToken(token, api.closeHandle);

    token = nullptr;
    if (!api.duplicateTokenEx(userToken.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                              TokenPrimary, &token))
        return false;
    const UniqueHandle<HANDLE> primaryToken(token, api.closeHandle);
    write(log, "launchGUIApplication DuplicateTokenEx enter");

    // Declared before the impersonation, so that the reverse order of release is: revert,
    // destroy the block, close the primary token, close the user token.
    UniqueHandle<LPVOID> environment;
    if (!api.impersonateLoggedOnUser(primaryToken.get()))
        return false;
    const UniqueHandle<HANDLE> impersonation(primaryToken.get(),
                                             [&api](HANDLE) { api.revertToSelf(); });
    write(log, "launchGUIApplication ImpersonateLoggedOnUser enter");

    environment = userEnvironment(api, primaryToken.get());
    return createProcess(api, primaryToken.get(), environment.get(), program, argumentLine,
                         launched);
}

bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          ProcessIdentity *launched, LauncherLog log)
{
    return launchGUIApplicationWith(SessionApi{}, std::move(program), std::move(arguments),
                                    launched, log);
}
