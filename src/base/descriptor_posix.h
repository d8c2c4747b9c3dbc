#pragma once

#include <unistd.h>

#include <utility>

// A POSIX descriptor closed exactly once, on every path, when its guard leaves scope; -1 is none.
// Qt-free, POSIX only.
class Descriptor
{
public:
    explicit Descriptor(int fd = -1) noexcept : m_fd(fd) {}
    ~Descriptor() { reset(); }

    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept : m_fd(other.release()) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }

    // Hands the descriptor over; the guard holds none afterwards. A caller that needs close's
    // own outcome (a file just written) closes what this returns.
    int release() { return std::exchange(m_fd, -1); }

    // Closes the one held (async-signal-safe: also between fork and exec) and takes fd.
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};
