#include "base/wholefile.h"

#include "base/descriptor_posix.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fail(std::string *error, const std::string &what)
{
    if (error)
        *error = what + ": " + std::strerror(errno);
    return false;
}

} // namespace

bool writeWholeFile(const std::string &path, std::string_view content, FileReaders readers,
                    std::string *error)
{
    static std::atomic<unsigned> s_counter{0};
    const std::string temporary = path + ".new-" + std::to_string(::getpid()) + "-"
                                  + std::to_string(s_counter++);
    const mode_t mode = readers == FileReaders::Administrators ? 0600 : 0644;
    // Created new with its final mode (the umask can only narrow it): never readable by others
    // for a moment, and never a file or link someone left under that name.
    Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!file)
        return fail(error, "cannot create " + temporary);
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(file.get(), content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const bool failed = fail(error, "cannot write " + temporary);
            file.reset();
            ::unlink(temporary.c_str());
            return failed;
        }
        written += static_cast<size_t>(n);
    }
    // close's own outcome counts: a delayed write may fail only there.
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0) {
        const bool failed = fail(error, "cannot write " + temporary);
        ::unlink(temporary.c_str());
        return failed;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const bool failed = fail(error, "cannot rename " + temporary + " to " + path);
        ::unlink(temporary.c_str());
        return failed;
    }
    return true;
}

bool pathExists(const std::string &path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

bool removeFile(const std::string &path)
{
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}
