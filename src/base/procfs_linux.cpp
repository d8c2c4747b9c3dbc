#include "base/procfs_linux.h"

#include "base/descriptor_posix.h"
#include "base/released.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace {

std::string processFolder(long long pid)
{
    return "/proc/" + std::to_string(pid);
}

} // namespace

bool readProcessEntry(long long pid, const char *entry, std::size_t bound, std::string *content)
{
    const Descriptor fd(::open((processFolder(pid) + "/" + entry).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    std::string whole;
    char buffer[16384];
    ssize_t got;
    while ((got = ::read(fd.get(), buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || whole.size() + static_cast<std::size_t>(got) > bound)
            return false;
        whole.append(buffer, static_cast<std::size_t>(got));
    }
    *content = std::move(whole);
    return true;
}

bool processOwner(long long pid, uid_t *owner)
{
    struct stat st;
    if (::stat(processFolder(pid).c_str(), &st) != 0)
        return false;
    *owner = st.st_uid;
    return true;
}

std::vector<long long> listProcesses()
{
    std::vector<long long> pids;
    if (const Released<DIR, ::closedir> proc{::opendir("/proc")}) {
        while (const dirent *entry = ::readdir(proc.get())) {
            char *end = nullptr;
            const long long number = std::strtoll(entry->d_name, &end, 10);
            if (number > 0 && *end == '\0')
                pids.push_back(number);
        }
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}
