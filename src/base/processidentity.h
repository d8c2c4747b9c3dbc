#pragma once

// A process as the service knows a player it started: its id, which the system reuses once the
// process has ended, and its start time, which tells a later holder of the id apart. Qt-free:
// shared by both platform files, the launcher and the players.

struct ProcessIdentity {
    long long pid = 0;       // 0: none
    long long startTime = 0; // 0: not known
};

// The start time of the live process with that id (clock ticks after boot on Linux, the
// creation time on Windows); 0 when there is none.
long long processStartTime(long long pid);

#ifdef _WIN32
struct _FILETIME;
// A creation time as GetProcessTimes reports it, in the unit of processStartTime.
long long startTimeOf(const _FILETIME &creation);
#endif
