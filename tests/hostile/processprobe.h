#pragma once

#include <QtGlobal>

#include <optional>

// What /proc tells about the service process under test.
namespace hostile {

// VmRSS in KiB; nullopt when the process is gone.
std::optional<qint64> residentKiB(qint64 pid);

// Entries in /proc/<pid>/fd; -1 when the process is gone.
int openDescriptors(qint64 pid);

// True when a listening TCP socket on `port` (IPv4 or IPv6) belongs to the process, so that a
// test never measures another service that holds the port.
bool listensOn(qint64 pid, quint16 port);

} // namespace hostile
