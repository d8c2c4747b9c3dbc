#pragma once

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// The receiving end of NOTIFY_SOCKET, as systemd holds it for a service: an abstract datagram
// socket, so that it needs no folder the (possibly unprivileged) service must reach.
class NotifySocket
{
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool bound() const { return m_fd >= 0; }
    // The value of NOTIFY_SOCKET for the service.
    QString address() const { return m_address; }
    int fd() const { return m_fd; }

    // The next datagram, or nothing when none arrives within timeoutMs.
    std::optional<std::string> next(int timeoutMs);
    // Everything received so far, without waiting.
    std::vector<std::string> pending();

private:
    int m_fd = -1;
    QString m_address;
};

} // namespace testsupport
