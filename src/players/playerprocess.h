#pragma once

#include "base/processidentity.h"

// Ending the player an agent started last. Qt-free: shared by both platform files.

// Forced termination, started and not waited for. Linux: SIGKILL, and only while the process
// with that id still has the start time recorded at launch, so a reused id is never signalled.
// Windows: "taskkill /f /PID <pid>" as a detached child, skipped when a non-zero start time no
// longer matches.
void killPlayerProcess(long long pid, long long startTime);
