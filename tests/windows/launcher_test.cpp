// launchGUIApplication. Wine has no sessions and grants every token, so the session calls are
// faked to reach each failure path and the session choice; one real start goes through the
// whole chain of real calls under Wine.

#include "base/servicelog.h"
#include "launcher/sessionapi_win.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

// The fake system: what it answers and what was asked of it. Test thread only.
struct FakeSystem {
    std::vector<WTS_SESSION_INFOW> sessions;
    bool enumerateFails = false;
    // "query", "duplicate", "impersonate", "environment", "create", "revert", "revert and drop"
    std::string failing;
    DWORD queryError = ERROR_NO_TOKEN;

    std::vector<std::string> calls;
    std::map<HANDLE, std::string> openHandles;
    std::uintptr_t nextHandle = 0x100;
    int liveSessionLists = 0;
    int impersonations = 0;
    bool environmentLive = false;
    std::wstring application;
    std::wstring commandLine;
    std::wstring desktop;
    DWORD creationFlags = 0;
    LPVOID environmentPassed = nullptr;
};
FakeSystem g_fake;
char g_environmentBlock[16];

std::vector<std::string> g_log;

void recordLog(const std::string &entry)
{
    g_log.push_back(entry);
}

HANDLE open(const std::string &what)
{
    const auto handle = reinterpret_cast<HANDLE>(g_fake.nextHandle += 4);
    g_fake.openHandles[handle] = what;
    return handle;
}

BOOL WINAPI fakeEnumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW *list, DWORD *count)
{
    g_fake.calls.push_back("enumerate");
    if (g_fake.enumerateFails)
        return FALSE;
    auto *copy = new WTS_SESSION_INFOW[g_fake.sessions.size() + 1];
    std::copy(g_fake.sessions.begin(), g_fake.sessions.end(), copy);
    *list = copy;
    *count = static_cast<DWORD>(g_fake.sessions.size());
    ++g_fake.liveSessionLists;
    return TRUE;
}

void WINAPI fakeFreeMemory(PVOID memory)
{
    g_fake.calls.push_back("free sessions");
    delete[] static_cast<WTS_SESSION_INFOW *>(memory);
    --g_fake.liveSessionLists;
}

BOOL WINAPI fakeQueryUserToken(ULONG sessionId, PHANDLE token)
{
    g_fake.calls.push_back("query " + std::to_string(sessionId));
    if (g_fake.failing == "query") {
        SetLastError(g_fake.queryError);
        return FALSE;
    }
    *token = open("user token");
    return TRUE;
}

BOOL WINAPI fakeDuplicateTokenEx(HANDLE, DWORD access, LPSECURITY_ATTRIBUTES,
                                 SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type,
                                 PHANDLE token)
{
    g_fake.calls.push_back("duplicate");
    EXPECT_EQ(access, 0xF01FFu);
    EXPECT_EQ(level, SecurityImpersonation);
    EXPECT_EQ(type, TokenPrimary);
    if (g_fake.failing == "duplicate")
        return FALSE;
    *token = open("primary token");
    return TRUE;
}

BOOL WINAPI fakeImpersonate(HANDLE token)
{
    g_fake.calls.push_back("impersonate");
    EXPECT_EQ(g_fake.openHandles[token], "primary token");
    if (g_fake.failing == "impersonate")
        return FALSE;
    ++g_fake.impersonations;
    return TRUE;
}

BOOL WINAPI fakeRevertToSelf()
{
    g_fake.calls.push_back("revert");
    if (g_fake.failing.rfind("revert", 0) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    --g_fake.impersonations;
    return TRUE;
}

// Dropping the thread's token: the second way out of the impersonation.
BOOL WINAPI fakeSetThreadToken(PHANDLE thread, HANDLE token)
{
    g_fake.calls.push_back("drop thread token");
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(token, nullptr);
    if (g_fake.failing == "revert and drop") {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --g_fake.impersonations;
    return TRUE;
}

void fakeEndProcess(UINT exitCode)
{
    g_fake.calls.push_back("end process " + std::to_string(exitCode));
    --g_fake.impersonations; // as good as reverted: nothing of this process runs on
}

BOOL WINAPI fakeCreateEnvironmentBlock(LPVOID *environment, HANDLE token, BOOL inherit)
{
    g_fake.calls.push_back("environment");
    EXPECT_EQ(g_fake.openHandles[token], "primary token");
    EXPECT_TRUE(inherit);
    if (g_fake.failing == "environment")
        return FALSE;
    *environment = g_environmentBlock;
    g_fake.environmentLive = true;
    return TRUE;
}

BOOL WINAPI fakeDestroyEnvironmentBlock(LPVOID environment)
{
    g_fake.calls.push_back("destroy environment");
    EXPECT_EQ(environment, g_environmentBlock);
    g_fake.environmentLive = false;
    return TRUE;
}

BOOL WINAPI fakeCreateProcessAsUser(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                    LPSECURITY_ATTRIBUTES processAttributes,
                                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                    DWORD flags, LPVOID environment, LPCWSTR currentDirectory,
                                    LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION info)
{
    g_fake.calls.push_back("create");
    EXPECT_EQ(g_fake.openHandles[token], "primary token");
    EXPECT_EQ(g_fake.impersonations, 1);
    EXPECT_EQ(processAttributes->nLength, 24u);
    EXPECT_EQ(processAttributes->lpSecurityDescriptor, nullptr);
    EXPECT_FALSE(processAttributes->bInheritHandle);
    EXPECT_EQ(threadAttributes->nLength, 24u);
    EXPECT_FALSE(threadAttributes->bInheritHandle);
    EXPECT_FALSE(inheritHandles);
    EXPECT_EQ(currentDirectory, nullptr);
    EXPECT_EQ(startupInfo->cb, 104u);
    g_fake.desktop = startupInfo->lpDesktop ? startupInfo->lpDesktop : L"<none>";
    EXPECT_EQ(startupInfo->dwFlags, 0u);
    g_fake.application = application;
    g_fake.commandLine = commandLine;
    g_fake.creationFlags = flags;
    g_fake.environmentPassed = environment;
    if (g_fake.failing == "create") {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    info->hProcess = open("process");
    info->hThread = open("thread");
    info->dwProcessId = 4242;
    info->dwThreadId = 4243;
    return TRUE;
}

// The creation time the fake reports for the created process.
const FILETIME kCreation = { 0x89abcdefu, 0x01234567u };
const long long kStartTime = 0x0123456789abcdefLL;

BOOL WINAPI fakeGetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit,
                                LPFILETIME kernel, LPFILETIME user)
{
    const auto found = g_fake.openHandles.find(process);
    g_fake.calls.push_back("times " + (found == g_fake.openHandles.end() ? "?" : found->second));
    if (found == g_fake.openHandles.end())
        return FALSE;
    *creation = kCreation;
    *exit = *kernel = *user = FILETIME{};
    return TRUE;
}

BOOL WINAPI fakeCloseHandle(HANDLE handle)
{
    const auto found = g_fake.openHandles.find(handle);
    g_fake.calls.push_back("close " + (found == g_fake.openHandles.end() ? "?" : found->second));
    if (found == g_fake.openHandles.end())
        return FALSE;
    g_fake.openHandles.erase(found);
    return TRUE;
}

SessionApi fakeApi()
{
    SessionApi api;
    api.enumerateSessions = &fakeEnumerate;
    api.freeMemory = &fakeFreeMemory;
    api.queryUserToken = &fakeQueryUserToken;
    api.duplicateTokenEx = &fakeDuplicateTokenEx;
    api.impersonateLoggedOnUser = &fakeImpersonate;
    api.revertToSelf = &fakeRevertToSelf;
    api.createEnvironmentBlock = &fakeCreateEnvironmentBlock;
    api.destroyEnvironmentBlock = &fakeDestroyEnvironmentBlock;
    api.createProcessAsUser = &fakeCreateProcessAsUser;
    api.getProcessTimes = &fakeGetProcessTimes;
    api.closeHandle = &fakeCloseHandle;
    api.setThreadToken = &fakeSetThreadToken;
    api.endProcess = &fakeEndProcess;
    return api;
}

WTS_SESSION_INFOW session(DWORD id, WTS_CONNECTSTATE_CLASS state)
{
    WTS_SESSION_INFOW info{};
    info.SessionId = id;
    info.pWinStationName = const_cast<LPWSTR>(L"Console");
    info.State = state;
    return info;
}

class SessionLauncher : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_fake = FakeSystem{};
        g_fake.sessions = { session(0, WTSDisconnected), session(1, WTSActive) };
        g_log.clear();
        setServiceLogWriter(&recordLog);
    }

    // Launches through the fakes; the id starts at 77 so that "left untouched" is visible.
    bool launch(const std::string &program, const std::vector<std::string> &arguments)
    {
        m_launched = { 77, 0 };
        return launchGUIApplicationWith(fakeApi(), program, arguments, &m_launched);
    }

    // Whatever the path: every handle closed, the impersonation reverted, the block destroyed,
    // the session list freed.
    void expectEverythingReleased()
    {
        EXPECT_TRUE(g_fake.openHandles.empty());
        EXPECT_EQ(g_fake.impersonations, 0);
        EXPECT_FALSE(g_fake.environmentLive);
        EXPECT_EQ(g_fake.liveSessionLists, 0);
    }

    ProcessIdentity m_launched{ 77, 0 };
};

const char kVlc[] = "C:/Program Files/VideoLAN/VLC/vlc.exe";
const char kDuplicated[] = "launchGUIApplication DuplicateTokenEx enter";
const char kImpersonated[] = "launchGUIApplication ImpersonateLoggedOnUser enter";
const DWORD kWithoutEnvironment = NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;
const DWORD kWithEnvironment = kWithoutEnvironment | CREATE_UNICODE_ENVIRONMENT;

} // namespace

// Each step that can fail, with the log entries, the result, the process id and the order of
// the calls (which includes the order of release). The start time is read from the process
// handle before it is closed. A thread that cannot revert never goes on as the user: its token is
// dropped, or else the process ends.
TEST_F(SessionLauncher, FailureRows)
{
    const std::vector<std::string> head = { "enumerate", "free sessions", "query 1" };
    struct Row {
        std::string failing;
        bool result;
        std::vector<std::string> log;
        long long processId;
        std::vector<std::string> calls; // after head
        DWORD flags;
    };
    const Row rows[] = {
        { "", true, { kDuplicated, kImpersonated }, 4242,
          { "duplicate", "impersonate", "environment", "create", "times process", "close thread",
            "close process", "revert", "destroy environment", "close primary token",
            "close user token" },
          kWithEnvironment },
        { "query", false, { "launchGUIApplication WTSQueryUserToken result:1008" }, 77, {}, 0 },
        { "duplicate", false, {}, 77, { "duplicate", "close user token" }, 0 },
        { "impersonate", false, { kDuplicated }, 77,
          { "duplicate", "impersonate", "close primary token", "close user token" }, 0 },
        { "environment", true, { kDuplicated, kImpersonated }, 4242,
          { "duplicate", "impersonate", "environment", "create", "times process", "close thread",
            "close process", "revert", "close primary token", "close user token" },
          kWithoutEnvironment },
        { "create", false,
          { kDuplicated, kImpersonated, "launchGUIApplication CreateProcessAsUserW result:2" }, 0,
          { "duplicate", "impersonate", "environment", "create", "revert", "destroy environment",
            "close primary token", "close user token" },
          kWithEnvironment },
        { "revert", true,
          { kDuplicated, kImpersonated, "launchGUIApplication RevertToSelf result:5" }, 4242,
          { "duplicate", "impersonate", "environment", "create", "times process", "close thread",
            "close process", "revert", "drop thread token", "destroy environment",
            "close primary token", "close user token" },
          kWithEnvironment },
        { "revert and drop", true,
          { kDuplicated, kImpersonated, "launchGUIApplication RevertToSelf result:5",
            "launchGUIApplication SetThreadToken result:6" },
          4242,
          { "duplicate", "impersonate", "environment", "create", "times process", "close thread",
            "close process", "revert", "drop thread token", "end process 5",
            "destroy environment", "close primary token", "close user token" },
          kWithEnvironment },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("failing: " + (row.failing.empty() ? std::string("nothing") : row.failing));
        SetUp();
        g_fake.failing = row.failing;
        EXPECT_EQ(launch(kVlc, { "--fullscreen" }), row.result);
        EXPECT_EQ(g_log, row.log);
        EXPECT_EQ(m_launched.pid, row.processId);
        EXPECT_EQ(m_launched.startTime, row.processId == 4242 ? kStartTime : 0);
        std::vector<std::string> calls = head;
        calls.insert(calls.end(), row.calls.begin(), row.calls.end());
        EXPECT_EQ(g_fake.calls, calls);
        if (row.flags != 0) {
            EXPECT_EQ(g_fake.creationFlags, row.flags);
        }
        if (row.failing == "environment") {
            EXPECT_EQ(g_fake.environmentPassed, nullptr);
        }
        if (std::find(row.calls.begin(), row.calls.end(), "create") != row.calls.end()) {
            EXPECT_EQ(g_fake.desktop, L"winsta0\\default") << "the player would start unseen";
        }
        expectEverythingReleased();
    }
}

// The first active session in the list, whatever its window station; session 0 when none is
// active or the list cannot be had.
TEST_F(SessionLauncher, SessionChoice)
{
    struct Row {
        const char *what;
        std::vector<WTS_SESSION_INFOW> sessions;
        bool enumerateFails;
        std::string query;
    };
    const Row rows[] = {
        { "first active after a disconnected one",
          { session(0, WTSDisconnected), session(2, WTSConnected), session(3, WTSActive),
            session(4, WTSActive) },
          false, "query 3" },
        { "active listed first", { session(5, WTSActive), session(6, WTSActive) }, false,
          "query 5" },
        { "none active", { session(0, WTSDisconnected), session(7, WTSIdle) }, false, "query 0" },
        { "empty list", {}, false, "query 0" },
        { "enumeration fails", { session(3, WTSActive) }, true, "query 0" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        g_fake.sessions = row.sessions;
        g_fake.enumerateFails = row.enumerateFails;
        g_fake.failing = "query"; // nobody logged on: the query is the last call
        g_fake.queryError = ERROR_NO_TOKEN;
        EXPECT_FALSE(launch(kVlc, {}));
        ASSERT_FALSE(g_fake.calls.empty());
        EXPECT_EQ(g_fake.calls.back(), row.query);
        EXPECT_EQ(g_log, std::vector<std::string>{
                                 "launchGUIApplication WTSQueryUserToken result:1008" });
        expectEverythingReleased();
    }
}

// What process creation receives: the program as application name, and a line with one space
// before every argument, no quotes and no program.
TEST_F(SessionLauncher, ArgumentLine)
{
    struct Row {
        const char *what;
        std::string program;
        std::vector<std::string> arguments;
        std::wstring application;
        std::wstring line;
    };
    const Row rows[] = {
        { "player and playlist", kVlc,
          { "--fullscreen", "C:/Users/Public/Mirvale/playlist/090503042.list" },
          L"C:/Program Files/VideoLAN/VLC/vlc.exe",
          L" --fullscreen C:/Users/Public/Mirvale/playlist/090503042.list" },
        { "no arguments", kVlc, {}, L"C:/Program Files/VideoLAN/VLC/vlc.exe", L"" },
        { "a space is not quoted", kVlc, { "C:/Users/Public/Mirvale/playlist/my list.m3u" },
          L"C:/Program Files/VideoLAN/VLC/vlc.exe",
          L" C:/Users/Public/Mirvale/playlist/my list.m3u" },
        { "empty argument keeps its space", kVlc, { "", "x" },
          L"C:/Program Files/VideoLAN/VLC/vlc.exe", L"  x" },
        { "UTF-8 becomes the same characters", "D:\\Vid\xc3\xa9o\\\xe5\xaa\x92\\vlc.exe",
          { "--sub-file=D:\\Vid\xc3\xa9o\\a.srt" }, L"D:\\Vid\u00e9o\\\u5a92\\vlc.exe",
          L" --sub-file=D:\\Vid\u00e9o\\a.srt" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        EXPECT_TRUE(launch(row.program, row.arguments));
        EXPECT_EQ(g_fake.application, row.application);
        EXPECT_EQ(g_fake.commandLine, row.line);
        expectEverythingReleased();
    }
}

// The 260-byte buffers: 259 bytes and a terminator fit; one byte more is refused before any
// token is taken, with the id left as it was.
TEST_F(SessionLauncher, BufferLimits)
{
    const std::string e = "\xc3\xa9"; // two bytes, one UTF-16 unit
    std::string twoByteProgram;
    for (int i = 0; i < 129; ++i)
        twoByteProgram += e;
    struct Row {
        const char *what;
        std::string program;
        std::vector<std::string> arguments;
        bool fits;
    };
    const Row rows[] = {
        { "program of 259 bytes", std::string(259, 'p'), {}, true },
        { "program of 260 bytes", std::string(260, 'p'), {}, false },
        { "program of 1000 bytes", std::string(1000, 'p'), {}, false },
        { "line of 259 bytes", kVlc, { std::string(258, 'a') }, true },
        { "line of 260 bytes", kVlc, { std::string(259, 'a') }, false },
        { "129 short arguments make 258 bytes", kVlc, std::vector<std::string>(129, "a"), true },
        { "130 short arguments make 260 bytes", kVlc, std::vector<std::string>(130, "a"), false },
        { "two-byte characters: 259 bytes", twoByteProgram + "p", {}, true },
        { "two-byte characters: 260 bytes", twoByteProgram + e, {}, false },
        { "NUL inside an argument", kVlc, { std::string("a\0b", 3) }, false },
        { "NUL inside the program", std::string("C:/a\0.exe", 9), {}, false },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        EXPECT_EQ(launch(row.program, row.arguments), row.fits);
        if (row.fits) {
            // Nothing cut off at the end of the buffers.
            std::string line;
            for (const std::string &argument : row.arguments)
                line += " " + argument;
            EXPECT_EQ(m_launched.pid, 4242);
            EXPECT_EQ(g_fake.application, testsupport::toWide(row.program));
            EXPECT_EQ(g_fake.commandLine, testsupport::toWide(line));
        } else {
            EXPECT_EQ(m_launched.pid, 77);
            EXPECT_TRUE(g_fake.calls.empty());
            EXPECT_EQ(g_log, std::vector<std::string>{ "launchGUIApplication command line rejected" });
        }
        expectEverythingReleased();
    }
}

// The real calls under Wine (WTSEnumerateSessionsW lists nothing, WTSQueryUserToken answers
// with the caller's own token): a stand-in player is started and records what it received.
TEST(SessionLauncherWine, RealStartThroughTheWholeChain)
{
    const std::wstring child = testsupport::besideTests(L"mirvale_win_child.exe");
    const std::wstring journal = testsupport::tempPath(L"launch");
    const std::string journalUtf8 = testsupport::toUtf8(journal);
    ASSERT_EQ(journalUtf8.find(' '), std::string::npos) << "arguments are passed unquoted";
    g_log.clear();
    setServiceLogWriter(&recordLog);

    ProcessIdentity launched{ 77, 0 };
    ASSERT_TRUE(launchGUIApplication(testsupport::toUtf8(child), { journalUtf8, "two words" },
                                     &launched));
    EXPECT_EQ(g_log, (std::vector<std::string>{ kDuplicated, kImpersonated }));
    ASSERT_GT(launched.pid, 0);
    // Read before the handle was closed, so known even for a child that has already ended.
    EXPECT_NE(launched.startTime, 0);
    const long long processId = launched.pid;
    ASSERT_TRUE(testsupport::waitForProcessEnd(static_cast<DWORD>(processId)));

    // The child's own parser takes the empty first word as its name; the space splits words.
    const std::string expected = "pid=" + std::to_string(processId) + "\nline= " + journalUtf8
            + " two words\narg=\narg=" + journalUtf8 + "\narg=two\narg=words\n";
    EXPECT_EQ(testsupport::readFile(journal), expected);
    DeleteFileW(journal.c_str());
}

TEST(SessionLauncherWine, RealStartOfAMissingProgram)
{
    g_log.clear();
    setServiceLogWriter(&recordLog);
    ProcessIdentity launched{ 77, 0 };
    EXPECT_FALSE(launchGUIApplication("C:/no/such/player.exe", { "--fullscreen" }, &launched));
    EXPECT_EQ(launched.pid, 0);
    EXPECT_EQ(g_log, (std::vector<std::string>{
                             kDuplicated, kImpersonated,
                             "launchGUIApplication CreateProcessAsUserW result:"
                                     + std::to_string(ERROR_PATH_NOT_FOUND) }));
}
