#include "base/processidentity.h"

#include "base/procfs_linux.h"

#include <charconv>
#include <string>

// Field 22 of /proc/<pid>/stat, in clock ticks after boot. The command name (field 2) may hold
// spaces and parentheses, so the fields are counted after its last ')'.
long long processStartTime(long long pid)
{
    if (pid <= 0)
        return 0;
    // One line of 52 numbers and a command name of at most 64 bytes.
    constexpr std::size_t kBound = 64u << 10;
    std::string stat;
    if (!readProcessEntry(pid, "stat", kBound, &stat))
        return 0;
    std::size_t pos = stat.rfind(')');
    if (pos == std::string::npos)
        return 0;
    ++pos;
    std::size_t fieldStart = 0;
    std::size_t fieldEnd = 0;
    for (int number = 3; number <= 22; ++number) {
        while (pos < stat.size() && stat[pos] == ' ')
            ++pos;
        fieldStart = pos;
        while (pos < stat.size() && stat[pos] != ' ' && stat[pos] != '\n')
            ++pos;
        fieldEnd = pos;
        if (fieldStart == fieldEnd)
            return 0;
    }
    long long startTime = 0;
    const char *first = stat.data() + fieldStart;
    const char *last = stat.data() + fieldEnd;
    const auto [end, error] = std::from_chars(first, last, startTime);
    if (error != std::errc() || end != last || startTime <= 0)
        return 0;
    return startTime;
}
