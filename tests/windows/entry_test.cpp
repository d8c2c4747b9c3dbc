// The Windows process entry: command line split as the system splits it, words in the ANSI
// code page, argv terminated by a null entry, main's result passed through.

#include "support.h"
#include "service/windowsentry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Written by recordingMain on the test's own thread.
std::vector<std::string> g_arguments;
bool g_nullTerminated = false;
int g_calls = 0;

int recordingMain(int argc, char **argv)
{
    ++g_calls;
    g_arguments.assign(argv, argv + argc);
    g_nullTerminated = argv[argc] == nullptr;
    return 42;
}

std::vector<std::string> split(const wchar_t *commandLine)
{
    g_arguments.clear();
    g_nullTerminated = false;
    EXPECT_EQ(runMainWithCommandLine(commandLine, &recordingMain), 42);
    EXPECT_TRUE(g_nullTerminated);
    return g_arguments;
}

} // namespace

TEST(WindowsEntry, SplitsLikeTheSystem)
{
    struct Row {
        const wchar_t *commandLine;
        std::vector<std::string> words;
    };
    const Row rows[] = {
        { L"mirvale.exe", { "mirvale.exe" } },
        { L"\"C:\\Program Files\\Mirvale\\mirvale.exe\" -e 1",
          { "C:\\Program Files\\Mirvale\\mirvale.exe", "-e", "1" } },
        { L"m \"a b\" \"\" c", { "m", "a b", "", "c" } },
        { L"m say\\\"hi\\\"", { "m", "say\"hi\"" } },
        { L"m C:\\dir\\ \"C:\\with space\\\\\"", { "m", "C:\\dir\\", "C:\\with space\\" } },
        { L"m a\\\\\\\"b", { "m", "a\\\"b" } },
        { L"m \t  spaced\t ", { "m", "spaced" } },
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testsupport::toUtf8(row.commandLine));
        EXPECT_EQ(split(row.commandLine), row.words);
    }
}

TEST(WindowsEntry, ConvertsNonAsciiWithTheAnsiCodePage)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "expectations written for code page 1252, this system uses " << GetACP();
    // In 1252: e-acute is one byte; a character outside the page becomes the default '?', also
    // where the page has a look-alike (fullwidth quote and backslash, a division slash), so that
    // no quote or separator appears that the command line did not hold.
    const std::vector<std::string> expected = { "m", "Vid\xe9o", "?", "\x80", "?a?", "b?c", "d?e" };
    EXPECT_EQ(split(L"m Vid\u00e9o \u5a92 \u20ac \uff02a\uff02 b\uff3cc d\u2215e"), expected);
}

TEST(WindowsEntry, UnsplittableLineGivesMinusOneWithoutMain)
{
    g_calls = 0;
    EXPECT_EQ(runMainWithCommandLine(nullptr, &recordingMain), -1);
    EXPECT_EQ(g_calls, 0);
}

// The real GUI entry point (wWinMain in main_win.cpp, linked with -municode) in a program of its
// own: it reaches main with the process's own command line and returns main's result.
TEST(WindowsEntry, RealEntryPointReachesMain)
{
    const std::wstring probe = testsupport::besideTests(L"mirvale_win_entryprobe.exe");
    const std::wstring journal = testsupport::tempPath(L"entry");
    const std::wstring commandLine =
            L"\"" + probe + L"\" " + journal + L" \"two words\" \"\" Vid\u00e9o";
    const DWORD exitCode = testsupport::runProgram(probe, commandLine);
    EXPECT_EQ(exitCode, 40u + 5u);

    std::string expected = testsupport::toUtf8(probe) + "\n" + testsupport::toUtf8(journal)
            + "\ntwo words\n\n";
    expected += GetACP() == 1252 ? "Vid\xe9o\n" : "";
    const std::string recorded = testsupport::readFile(journal);
    if (GetACP() == 1252)
        EXPECT_EQ(recorded, expected);
    else
        EXPECT_EQ(recorded.substr(0, expected.size()), expected);
    DeleteFileW(journal.c_str());
}
