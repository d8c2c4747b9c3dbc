#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starting a program detached from this process, with a report pipe that tells the caller which
// step failed before the program ran.
namespace sessionlauncher {

// The identity a started program drops to before it runs.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

struct SpawnResult {
    bool started = false;
    long long pid = 0;        // the started program's id; 0 unless started
    long long startTime = 0;  // its start time, read before spawnDetached returns; 0 when gone
    bool dropped = false;     // the child took on the credentials
    const char *failedStep = nullptr; // the call that failed ("fork", "setuid", "execve", ...)
    int error = 0;            // its errno
};

// Starts program detached: a new process session, stdin/stdout/stderr on /dev/null, none of
// the caller's other descriptors, the caller's current folder. environment null keeps the
// caller's; credentials null keeps the caller's identity. The program never runs when a
// step before it fails.
SpawnResult spawnDetached(const std::string &program, const std::vector<std::string> &arguments,
                          const std::vector<std::string> *environment,
                          const Credentials *credentials);

} // namespace sessionlauncher
