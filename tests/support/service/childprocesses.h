#pragma once

#include <QString>
#include <QtGlobal>

// Processes the service starts on the test's behalf (the fake players). The test process
// becomes their subreaper, so a player that ends is reaped here and its id is free again.
namespace testsupport {

// Called once at the start of the test binary.
void becomeSubreaper();

// The process exists and has not ended (a zombie has ended).
bool processAlive(qint64 pid);
// Waits until the process has ended; reaps it when it is our child. True when it ended.
bool waitProcessGone(qint64 pid, int timeoutMs);
// True when the process id is free (ended and reaped).
bool waitProcessReaped(qint64 pid, int timeoutMs);
// Ends a fake player that lingers ("sleep 300") and reaps it; other processes are left alone.
void endFakePlayer(qint64 pid);

// A process's start time in clock ticks after boot (0 when unknown), and the current time
// in the same unit. A process started later than a tick has passed has a later start time.
long long processStartTicks(qint64 pid);
long long bootTicksNow();

// Root only: starts "sleep 300" under the given process id (the next id to hand out is set
// through /proc/sys/kernel/ns_last_pid), running as the given user, so that the service could
// signal it if it wrongly tried. The pid got, or -1 when it could not be placed.
qint64 spawnSleeperWithPid(qint64 wantedPid, uint uid, int attempts = 20);
// Ends and reaps a child started by spawnSleeperWithPid.
void endSleeper(qint64 pid);
// Waits for such a child to end; when it did, *how says whether it exited or was signalled.
bool waitSleeperGone(qint64 pid, int timeoutMs, QString *how);

// sd-login: an active session with a user exists (the launcher would start players there).
bool activeLoginSessionExists();

} // namespace testsupport
