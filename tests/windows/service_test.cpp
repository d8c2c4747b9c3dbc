// The service framework's Windows side under Wine's service control manager, driven with sc.exe
// as an administrator would, plus the install and uninstall helpers.

#include "service/servicecontrol_win.h"
#include "support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <string>

using testsupport::toUtf8;

namespace {

const char kServiceName[] = "MirvaleWineTestService";

std::wstring systemProgram(const wchar_t *name)
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\" + name;
}

DWORD sc(const std::wstring &arguments, std::string *output = nullptr)
{
    return testsupport::runProgram(systemProgram(L"sc.exe"), L"sc " + arguments, output);
}

struct ServiceHandle {
    explicit ServiceHandle(SC_HANDLE handle) : handle(handle) {}
    ~ServiceHandle()
    {
        if (handle)
            CloseServiceHandle(handle);
    }
    SC_HANDLE handle;
};

// Opens the test service with the given rights; null when it does not exist.
struct OpenedService {
    explicit OpenedService(DWORD access)
        : manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT)),
          service(manager.handle
                          ? OpenServiceW(manager.handle, testsupport::toWide(kServiceName).c_str(),
                                         access)
                          : nullptr),
          error(service.handle ? NO_ERROR : GetLastError())
    {
    }
    ServiceHandle manager;
    ServiceHandle service;
    DWORD error;
};

SERVICE_STATUS_PROCESS queryStatus()
{
    SERVICE_STATUS_PROCESS status{};
    OpenedService opened(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (opened.service.handle)
        QueryServiceStatusEx(opened.service.handle, SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE *>(&status), sizeof(status), &needed);
    return status;
}

// The manager signals nothing we could wait on portably, so its state is polled against a
// deadline.
bool waitForState(DWORD state, DWORD timeoutMs = 30000)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (queryStatus().dwCurrentState != state) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(20);
    }
    return true;
}

// The test service's command line: its name, its journal, and any further switches.
std::string serviceArguments(const std::wstring &journal, const std::string &more = {})
{
    return std::string(kServiceName) + " " + toUtf8(journal) + (more.empty() ? "" : " " + more);
}

class ServiceManager : public ::testing::Test
{
protected:
    void SetUp() override { removeLeftover(); }
    void TearDown() override { removeLeftover(); }

    static void removeLeftover()
    {
        if (queryStatus().dwCurrentState == SERVICE_RUNNING) {
            OpenedService opened(SERVICE_STOP);
            SERVICE_STATUS status{};
            ControlService(opened.service.handle, SERVICE_CONTROL_STOP, &status);
            waitForState(SERVICE_STOPPED);
        }
        servicecontrol::uninstall(kServiceName);
    }

    const std::wstring m_program = testsupport::besideTests(L"mirvale_win_testservice.exe");
    const std::wstring m_journal = testsupport::tempPath(L"service");
};

} // namespace

TEST_F(ServiceManager, ScCreateStartQueryStopDelete)
{
    const std::wstring name = testsupport::toWide(kServiceName);
    const std::wstring binaryPath = L"\\\"" + m_program + L"\\\" "
            + testsupport::toWide(serviceArguments(m_journal));
    ASSERT_EQ(sc(L"create " + name + L" binPath= \"" + binaryPath + L"\" start= demand"), 0u);
    ASSERT_EQ(sc(L"start " + name), 0u);
    ASSERT_TRUE(waitForState(SERVICE_RUNNING));

    std::string query;
    EXPECT_EQ(sc(L"query " + name, &query), 0u);
    EXPECT_NE(query.find("RUNNING"), std::string::npos) << query;

    // Pause and continue are accepted and change nothing but the reported state.
    {
        OpenedService opened(SERVICE_PAUSE_CONTINUE);
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(opened.service.handle, SERVICE_CONTROL_PAUSE, &status));
        EXPECT_TRUE(waitForState(SERVICE_PAUSED));
        EXPECT_TRUE(ControlService(opened.service.handle, SERVICE_CONTROL_CONTINUE, &status));
        EXPECT_TRUE(waitForState(SERVICE_RUNNING));
    }

    const DWORD processId = queryStatus().dwProcessId;
    ASSERT_EQ(sc(L"stop " + name), 0u);
    EXPECT_TRUE(testsupport::waitForProcessEnd(processId));
    EXPECT_TRUE(waitForState(SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS stopped = queryStatus();
    EXPECT_EQ(stopped.dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(sc(L"query " + name, &query), 0u);
    EXPECT_NE(query.find("STOPPED"), std::string::npos) << query;
    EXPECT_EQ(testsupport::readFile(m_journal), "start\nexec\nrequestStop\nexec returns\n");

    EXPECT_EQ(sc(L"delete " + name), 0u);
    EXPECT_EQ(OpenedService(SERVICE_QUERY_STATUS).error,
              static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    DeleteFileW(m_journal.c_str());
}

TEST_F(ServiceManager, FailedStartIsReportedAsStopped)
{
    servicecontrol::InstallOptions options;
    options.binaryPath = toUtf8(m_program);
    options.arguments = serviceArguments(m_journal, "--fail-start");
    ASSERT_EQ(servicecontrol::install(kServiceName, options), 0ul);

    OpenedService opened(SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_TRUE(StartServiceW(opened.service.handle, 0, nullptr));
    ASSERT_TRUE(waitForState(SERVICE_STOPPED));
    const SERVICE_STATUS_PROCESS status = queryStatus();
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 1u);
    EXPECT_EQ(testsupport::readFile(m_journal), "start\n");
    DeleteFileW(m_journal.c_str());
}

TEST_F(ServiceManager, InstallAndUninstall)
{
    servicecontrol::InstallOptions options;
    options.displayName = "Mirvale test service";
    options.description = "Tessor Launch Helper.";
    options.binaryPath = toUtf8(m_program);
    options.arguments = "a b";
    options.startType = servicecontrol::StartType::Automatic;
    ASSERT_EQ(servicecontrol::install(kServiceName, options), 0ul);
    EXPECT_EQ(servicecontrol::install(kServiceName, options),
              static_cast<unsigned long>(ERROR_SERVICE_EXISTS));

    {
        OpenedService opened(SERVICE_QUERY_CONFIG);
        ASSERT_NE(opened.service.handle, nullptr);
        alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[8192] = {};
        auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(opened.service.handle, config, sizeof(buffer), &needed));
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + m_program + L"\" a b");
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(std::wstring(config->lpDisplayName), L"Mirvale test service");

        alignas(SERVICE_DESCRIPTIONW) BYTE described[1024] = {};
        ASSERT_TRUE(QueryServiceConfig2W(opened.service.handle, SERVICE_CONFIG_DESCRIPTION,
                                         described, sizeof(described), &needed));
        const auto *description = reinterpret_cast<SERVICE_DESCRIPTIONW *>(described);
        ASSERT_NE(description->lpDescription, nullptr);
        EXPECT_EQ(std::wstring(description->lpDescription), L"Tessor Launch Helper.");
    }

    EXPECT_EQ(servicecontrol::uninstall(kServiceName), 0ul);
    EXPECT_EQ(servicecontrol::uninstall(kServiceName),
              static_cast<unsigned long>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// Started by hand, not by the manager: the hooks run in the foreground and the exit code is
// exec's (or 1 when start fails).
TEST_F(ServiceManager, RunsInTheForegroundWithoutTheManager)
{
    struct Row {
        const char *switches;
        DWORD exitCode;
        const char *journal;
    };
    const Row rows[] = {
        { "--exit 7", 7, "start\nexec\n" },
        { "--exit 0", 0, "start\nexec\n" },
        { "--fail-start", 1, "start\n" },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.switches);
        const std::wstring journal = testsupport::tempPath(L"foreground");
        const std::wstring commandLine = L"\"" + m_program + L"\" "
                + testsupport::toWide(serviceArguments(journal, row.switches));
        EXPECT_EQ(testsupport::runProgram(m_program, commandLine), row.exitCode);
        EXPECT_EQ(testsupport::readFile(journal), row.journal);
        DeleteFileW(journal.c_str());
    }
}
