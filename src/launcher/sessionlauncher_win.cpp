#include "sessionlauncher.h"
#include "sessionapi_win.h"

#include <utility>

namespace {

template <typename Release>
class ScopeExit
{
public:
    explicit ScopeExit(Release release) : m_release(std::move(release)) {}
    ~ScopeExit() { m_release(); }
    ScopeExit(const ScopeExit &) = delete;
    ScopeExit &operator=(const ScopeExit &) = delete;

private:
    Release m_release;
};

void write(LauncherLog log, const std::string &entry)
{
    if (log)
        log(entry);
}

// A text the narrow buffer holds whole: shorter than the buffer, and without a NUL that would
// silently cut the command line short.
bool fitsBuffer(const std::string &text)
{
    return text.size() < kLaunchBufferBytes && text.find('\0') == std::string::npos;
}

// The texts arrive as UTF-8 (player paths read from the registry may be non-ASCII). A byte
// sequence never yields more UTF-16 units than bytes, so what fits the narrow buffer fits here.
void toWide(const std::string &text, wchar_t (&buffer)[kLaunchBufferBytes])
{
    if (!text.empty())
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), buffer,
                            static_cast<int>(kLaunchBufferBytes - 1));
}

} // namespace

bool launchGUIApplicationWith(const SessionApi &api, std::string program,
                              std::vector<std::string> arguments, long long *processId,
                              LauncherLog log)
{
    // One space before every argument, no quotes, the program not included: the player's own
    // parser takes the first word as its name, and a path with a space becomes two words.
    std::string argumentLine;
    for (const std::string &argument : arguments) {
        argumentLine += ' ';
        argumentLine += argument;
    }
    // Checked before any token is taken: nothing to release, and nothing written past a buffer.
    if (!fitsBuffer(program) || !fitsBuffer(argumentLine)) {
        write(log, "launchGUIApplication command line rejected");
        return false;
    }

    DWORD sessionId = 0;
    {
        PWTS_SESSION_INFOW sessions = nullptr;
        DWORD count = 0;
        const BOOL listed = api.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions,
                                                  &count);
        const ScopeExit freeSessions([&] {
            if (sessions)
                api.freeMemory(sessions);
        });
        if (listed && sessions) {
            for (DWORD i = 0; i < count; ++i) {
                if (sessions[i].State == WTSActive) {
                    sessionId = sessions[i].SessionId;
                    break;
                }
            }
        }
    }

    HANDLE userToken = nullptr;
    if (!api.queryUserToken(sessionId, &userToken)) {
        const DWORD error = GetLastError();
        write(log, "launchGUIApplication WTSQueryUserToken result:" + std::to_string(error));
        return false;
    }
    const ScopeExit closeUserToken([&] { api.closeHandle(userToken); });

    HANDLE primaryToken = nullptr;
    if (!api.duplicateTokenEx(userToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                              TokenPrimary, &primaryToken))
        return false;
    const ScopeExit closePrimaryToken([&] { api.closeHandle(primaryToken); });
    write(log, "launchGUIApplication DuplicateTokenEx enter");

    // Declared before the impersonation so that the reverse order of release is: revert,
    // destroy the block, close the primary token, close the user token.
    LPVOID environment = nullptr;
    const ScopeExit destroyEnvironment([&] {
        if (environment)
            api.destroyEnvironmentBlock(environment);
    });

    if (!api.impersonateLoggedOnUser(primaryToken))
        return false;
    const ScopeExit revert([&] { api.revertToSelf(); });
    write(log, "launchGUIApplication ImpersonateLoggedOnUser enter");

    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    SECURITY_ATTRIBUTES processAttributes{};
    processAttributes.nLength = sizeof(processAttributes);
    processAttributes.bInheritHandle = FALSE;
    SECURITY_ATTRIBUTES threadAttributes = processAttributes;

    DWORD creationFlags = NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
    if (api.createEnvironmentBlock(&environment, primaryToken, TRUE))
        creationFlags |= CREATE_UNICODE_ENVIRONMENT;
    else
        environment = nullptr; // the child then inherits the service's environment

    wchar_t wideProgram[kLaunchBufferBytes] = {};
    wchar_t wideArgumentLine[kLaunchBufferBytes] = {};
    toWide(program, wideProgram);
    toWide(argumentLine, wideArgumentLine);

    PROCESS_INFORMATION processInformation{};
    const BOOL created = api.createProcessAsUser(primaryToken, wideProgram, wideArgumentLine,
                                                 &processAttributes, &threadAttributes, FALSE,
                                                 creationFlags, environment, nullptr,
                                                 &startupInfo, &processInformation);
    if (created) {
        // Only the id is kept; the player is never waited for.
        api.closeHandle(processInformation.hThread);
        api.closeHandle(processInformation.hProcess);
    }
    if (processId)
        *processId = created ? static_cast<long long>(processInformation.dwProcessId) : 0;
    return created != FALSE;
}

bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          long long *processId, LauncherLog log)
{
    return launchGUIApplicationWith(SessionApi{}, std::move(program), std::move(arguments),
                                    processId, log);
}
