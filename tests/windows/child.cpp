// A stand-in player. "--wait" keeps it running until it is ended from outside. Copied into a
// player tree of the end-to-end tests (a "records" folder beside it or one level up), it records
// its start as tests/support/fixtures/fakeplayer.sh does, as records\<pid>.rec, and stays up while
// a file "linger" lies beside that folder. Otherwise it records how it was started into the file
// named by its first argument and exits.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string utf8Of(const wchar_t *wide)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), bytes, nullptr, nullptr);
    utf8.resize(std::strlen(utf8.c_str()));
    return utf8;
}

bool isFolder(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The player tree's record folder: beside the program, or one level up (VLC's program sits in a
// folder of its own). Empty when the program is not in such a tree.
std::wstring recordFolder(const std::wstring &program)
{
    std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
    for (int level = 0; level < 2; ++level) {
        if (isFolder(folder + L"\\records"))
            return folder + L"\\records";
        folder = folder.substr(0, folder.find_last_of(L"\\/"));
    }
    return {};
}

// Written whole under a temporary name, then renamed: a reader never sees half a record.
int writeRecord(const std::wstring &folder, const std::wstring &program, int argc, char **argv)
{
    const std::wstring name = folder + L"\\" + std::to_wstring(GetCurrentProcessId());
    std::FILE *file = _wfopen((name + L".tmp").c_str(), L"wb");
    if (!file)
        return 3;
    std::fprintf(file, "pid=%lu\nprogram=%s\nline=%s\nargc=%d\n", GetCurrentProcessId(),
                 utf8Of(program.c_str()).c_str(), utf8Of(GetCommandLineW()).c_str(), argc - 1);
    for (int i = 1; i < argc; ++i)
        std::fprintf(file, "arg=%s\n", argv[i]);
    std::fclose(file);
    if (!MoveFileExW((name + L".tmp").c_str(), (name + L".rec").c_str(), MOVEFILE_REPLACE_EXISTING))
        return 3;
    const std::wstring tree = folder.substr(0, folder.find_last_of(L"\\/"));
    if (GetFileAttributesW((tree + L"\\linger").c_str()) != INVALID_FILE_ATTRIBUTES)
        Sleep(INFINITE);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait") == 0) {
            Sleep(INFINITE);
            return 0;
        }
    }
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring records = recordFolder(program);
    if (!records.empty())
        return writeRecord(records, program, argc, argv);
    if (argc < 2)
        return 2;

    std::FILE *file = std::fopen(argv[1], "wb");
    if (!file)
        return 3;
    std::fprintf(file, "pid=%lu\nline=%s\n", GetCurrentProcessId(),
                 utf8Of(GetCommandLineW()).c_str());
    for (int i = 0; i < argc; ++i)
        std::fprintf(file, "arg=%s\n", argv[i]);
    std::fclose(file);
    return 0;
}
