#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// What /proc tells of processes. Read with the calling thread's file system identity. Qt-free,
// Linux only.

// The whole of /proc/<pid>/<entry> when it is at most bound bytes; false when it cannot be read
// (no such process, no right to it) or is larger.
bool readProcessEntry(long long pid, const char *entry, std::size_t bound, std::string *content);

// The user a live process runs as; false when there is no such process.
bool processOwner(long long pid, uid_t *owner);

// The ids of the live processes, ascending.
std::vector<long long> listProcesses();
