#include "service/windowsentry.h"

#include "base/uniquehandle_win.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

int runMainWithCommandLine(const wchar_t *commandLine, MainFunction mainFunction)
{
    if (!commandLine || !mainFunction)
        return -1;

    std::vector<std::vector<char>> words;
    {
        int count = 0;
        const UniqueHandle<LPWSTR *> wideWords(CommandLineToArgvW(commandLine, &count), LocalFree);
        if (!wideWords)
            return -1;
        words.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            // Characters outside the code page become its default character, as for any
            // ANSI program, never a look-alike: a fullwidth quote or backslash must not turn
            // into a real one. The size includes the terminator.
            const int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideWords.get()[i],
                                                  -1, nullptr, 0, nullptr, nullptr);
            if (bytes <= 0)
                return -1;
            std::vector<char> word(static_cast<std::size_t>(bytes), '\0');
            WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wideWords.get()[i], -1, word.data(),
                                bytes, nullptr, nullptr);
            words.push_back(std::move(word));
        }
    }

    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (std::vector<char> &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return mainFunction(static_cast<int>(words.size()), argv.data());
}
