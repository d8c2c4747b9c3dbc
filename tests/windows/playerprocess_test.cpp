// Ending the previous player: "taskkill /f /PID n", and only while the id still belongs to the
// process whose creation time was recorded at launch.

#include "players/playerprocess.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

// A stand-in player that runs until it is ended.
struct WaitingChild {
    WaitingChild()
    {
        const std::wstring program = testsupport::besideTests(L"mirvale_win_child.exe");
        std::wstring commandLine = L"\"" + program + L"\" --wait";
        STARTUPINFOW startupInfo{};
        startupInfo.cb = sizeof(startupInfo);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                           DETACHED_PROCESS, nullptr, nullptr, &startupInfo, &info)) {
            CloseHandle(info.hThread);
            process = info.hProcess;
            id = info.dwProcessId;
        }
    }
    ~WaitingChild()
    {
        if (process) {
            TerminateProcess(process, 99);
            WaitForSingleObject(process, 10000);
            CloseHandle(process);
        }
    }
    bool ended(DWORD timeoutMs) const { return WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0; }

    HANDLE process = nullptr;
    DWORD id = 0;
};

// Every process this test process creates, counted by a job it belongs to: the only way to see
// that no taskkill was started at all.
class ProcessCounter
{
public:
    ProcessCounter() : m_job(CreateJobObjectW(nullptr, nullptr))
    {
        m_assigned = AssignProcessToJobObject(m_job.get(), GetCurrentProcess()) != FALSE;
    }
    bool works() const { return m_assigned; }
    DWORD created() const
    {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
        QueryInformationJobObject(m_job.get(), JobObjectBasicAccountingInformation, &info,
                                  sizeof(info), nullptr);
        return info.TotalProcesses;
    }

private:
    testsupport::Handle m_job;
    bool m_assigned = false;
};

} // namespace

TEST(PlayerProcess, StartTimeIdentifiesAProcess)
{
    const long long own = processStartTime(GetCurrentProcessId());
    EXPECT_NE(own, 0);
    EXPECT_EQ(processStartTime(GetCurrentProcessId()), own);

    for (long long invalid : { 0LL, -1LL, 1LL << 40 })
        EXPECT_EQ(processStartTime(invalid), 0) << invalid;

    WaitingChild child;
    ASSERT_NE(child.process, nullptr);
    EXPECT_NE(processStartTime(child.id), 0);
    EXPECT_NE(processStartTime(child.id), own);
}

TEST(PlayerProcess, TaskkillEndsTheRecordedPlayer)
{
    for (bool recorded : { true, false }) {
        SCOPED_TRACE(recorded ? "with its start time" : "start time unknown (0)");
        WaitingChild child;
        ASSERT_NE(child.process, nullptr);
        const long long startTime = recorded ? processStartTime(child.id) : 0;
        killPlayerProcess(child.id, startTime);
        EXPECT_TRUE(child.ended(30000));
    }
}

TEST(PlayerProcess, ReusedIdIsNotEnded)
{
    ProcessCounter counter;
    if (!counter.works())
        GTEST_SKIP() << "job objects unavailable";
    WaitingChild child;
    ASSERT_NE(child.process, nullptr);
    const long long startTime = processStartTime(child.id);
    const DWORD before = counter.created();

    killPlayerProcess(child.id, startTime + 1);
    EXPECT_EQ(counter.created(), before); // no taskkill started
    EXPECT_FALSE(child.ended(0));

    killPlayerProcess(child.id, startTime);
    EXPECT_GT(counter.created(), before);
    EXPECT_TRUE(child.ended(30000));
}
