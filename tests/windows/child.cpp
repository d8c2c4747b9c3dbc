// A stand-in player. "--wait" keeps it running until it is ended from outside; otherwise it
// records how it was started into the file named by its first argument and exits.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait") == 0) {
            Sleep(INFINITE);
            return 0;
        }
    }
    if (argc < 2)
        return 2;

    const wchar_t *line = GetCommandLineW();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8Line(static_cast<std::size_t>(bytes > 0 ? bytes : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8Line.data(), bytes, nullptr, nullptr);
    utf8Line.resize(std::strlen(utf8Line.c_str()));

    std::FILE *file = std::fopen(argv[1], "wb");
    if (!file)
        return 3;
    std::fprintf(file, "pid=%lu\nline=%s\n", GetCurrentProcessId(), utf8Line.c_str());
    for (int i = 0; i < argc; ++i)
        std::fprintf(file, "arg=%s\n", argv[i]);
    std::fclose(file);
    return 0;
}
