#pragma once

// Ending the player an agent started last. Qt-free: shared by both platform files.

// An identity of the process beyond its id, which the system reuses once the process has
// ended: its start time (clock ticks after boot on Linux, the creation time on Windows).
// 0 when the process is gone.
long long processStartTime(long long pid);

// Forced termination, started and not waited for. Linux: SIGKILL, and only while the process
// with that id still has the start time recorded at launch, so a reused id is never signalled.
// Windows: "taskkill /f /PID <pid>" as a detached child, skipped when a non-zero start time no
// longer matches.
void killPlayerProcess(long long pid, long long startTime);
