// The portable main() behind the real Windows entry (main_win.cpp): records what it was given
// into the file named by its first argument and returns 40 + argc.

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 2 || argv[argc] != nullptr)
        return 1;
    std::FILE *file = std::fopen(argv[1], "wb");
    if (!file)
        return 2;
    for (int i = 0; i < argc; ++i)
        std::fprintf(file, "%s\n", argv[i]);
    std::fclose(file);
    return 40 + argc;
}
