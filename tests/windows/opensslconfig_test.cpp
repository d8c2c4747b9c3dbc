// An OpenSSL configuration file can make the library load a module into the process that reads
// it, and the folder compiled into the library may be one any Windows user can create. The
// service never reads one: shown with a file planted in that folder whose module leaves a mark
// when loaded (configprobe.cpp).

#include "base/constants.h"
#include "support.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <string>

namespace {

// The folder OpenSSL reads openssl.cnf from, as the library reports it.
std::wstring compiledInFolder()
{
    std::string output;
    const std::wstring probe = testsupport::besideTests(L"mirvale_win_opensslprobe.exe");
    if (testsupport::runProgram(probe, L"probe --dir", &output) != 0)
        return {};
    const std::string::size_type open = output.find('"');
    const std::string::size_type close = output.rfind('"');
    if (open == std::string::npos || close <= open)
        return {};
    return testsupport::toWide(output.substr(open + 1, close - open - 1));
}

bool acceptsOn(unsigned short port)
{
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
            connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    closesocket(probe);
    return connected;
}

class PlantedConfiguration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        // A folder without a drive (the prebuilt set's) is taken on the current drive: C:, the
        // programs' own, never the build machine's root through Wine's Z:.
        wchar_t previous[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, previous);
        m_previousFolder = previous;
        wchar_t temporary[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temporary);
        ASSERT_TRUE(SetCurrentDirectoryW(temporary));

        const std::wstring folder = compiledInFolder();
        ASSERT_FALSE(folder.empty()) << "the probe did not report OPENSSLDIR";
        wchar_t full[MAX_PATH] = {};
        ASSERT_GT(GetFullPathNameW(folder.c_str(), MAX_PATH, full, nullptr), 0u);
        m_config = std::wstring(full) + L"\\openssl.cnf";
        for (std::wstring::size_type at = 3; (at = m_config.find_first_of(L"\\/", at)) != std::wstring::npos; ++at)
            CreateDirectoryW(m_config.substr(0, at).c_str(), nullptr);

        std::string module = testsupport::toUtf8(testsupport::besideTests(L"mirvale_win_configprobe.dll"));
        for (char &c : module)
            c = c == '\\' ? '/' : c;
        m_marker = testsupport::besideTests(L"mirvale_win_configprobe.dll.loaded");
        DeleteFileW(m_marker.c_str());
        const std::string config = "openssl_conf = probe_init\n"
                                   "[probe_init]\nproviders = probe_providers\n"
                                   "[probe_providers]\nprobe = probe_module\ndefault = probe_default\n"
                                   "[probe_module]\nmodule = " + module + "\nactivate = 1\n"
                                   "[probe_default]\nactivate = 1\n";
        const HANDLE file = CreateFileW(m_config.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot plant " << testsupport::toUtf8(m_config);
        DWORD written = 0;
        WriteFile(file, config.data(), static_cast<DWORD>(config.size()), &written, nullptr);
        CloseHandle(file);
    }

    void TearDown() override
    {
        DeleteFileW(m_config.c_str());
        DeleteFileW(m_marker.c_str());
        SetCurrentDirectoryW(m_previousFolder.c_str());
        WSACleanup();
    }

    bool moduleLoaded() const { return GetFileAttributesW(m_marker.c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::wstring m_previousFolder;
    std::wstring m_config;
    std::wstring m_marker;
};

} // namespace

// The planted file works: read by default. The first initialisation that leaves the
// configuration out holds for every later one that asks for it.
TEST_F(PlantedConfiguration, FirstInitialisationDecides)
{
    const std::wstring probe = testsupport::besideTests(L"mirvale_win_opensslprobe.exe");
    struct Row {
        const wchar_t *arguments;
        bool loaded;
    };
    for (const Row &row : { Row{ L"probe", true }, Row{ L"probe --no-config-first", false } }) {
        SCOPED_TRACE(testsupport::toUtf8(row.arguments));
        DeleteFileW(m_marker.c_str());
        ASSERT_EQ(testsupport::runProgram(probe, row.arguments), 0u);
        EXPECT_EQ(moduleLoaded(), row.loaded);
    }
}

// The real service, serving both ports: its TLS context and libcurl are set up by then.
TEST_F(PlantedConfiguration, ServiceNeverLoadsIt)
{
    const std::wstring service = testsupport::besideTests(L"mirvale.exe");
    std::wstring commandLine = L"\"" + service + L"\"";
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(service.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startupInfo, &started));
    testsupport::Handle process(started.hProcess);
    testsupport::Handle thread(started.hThread);
    const ULONGLONG deadline = GetTickCount64() + 60000;
    bool serving = false;
    while (!serving && GetTickCount64() < deadline
           && WaitForSingleObject(process.get(), 100) == WAIT_TIMEOUT)
        serving = acceptsOn(kPlainPort) && acceptsOn(kTlsPort);
    EXPECT_TRUE(serving) << "the service did not come up";
    EXPECT_FALSE(moduleLoaded()) << "the service loaded the planted configuration's module";
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 30000);
}
