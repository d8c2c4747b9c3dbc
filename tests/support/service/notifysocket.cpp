#include "service/notifysocket.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

NotifySocket::NotifySocket()
{
    static std::atomic<int> s_counter{0};
    const std::string name = "mirvale-test-" + std::to_string(getpid()) + '-' + std::to_string(s_counter++);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
    m_address = '@' + QString::fromStdString(name);
}

NotifySocket::~NotifySocket()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::optional<std::string> NotifySocket::next(int timeoutMs)
{
    pollfd entry{m_fd, POLLIN, 0};
    if (m_fd < 0 || ::poll(&entry, 1, timeoutMs) <= 0)
        return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n < 0)
        return std::nullopt;
    return std::string(buffer, size_t(n));
}

std::vector<std::string> NotifySocket::pending()
{
    std::vector<std::string> received;
    while (std::optional<std::string> datagram = next(0))
        received.push_back(*datagram);
    return received;
}

} // namespace testsupport
