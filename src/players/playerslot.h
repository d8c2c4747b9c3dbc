#pragma once

#include "base/processidentity.h"
#include "players/playerprocess.h"

#include <string>
#include <vector>

// How a slot starts a program (the agent's launch callback): true when the program started.
// `launched` receives the new process's id and start time where the mode knows them, 0 and 0
// when creation was attempted and failed; otherwise it is left as it was.
using LaunchCallback = bool (*)(std::string program, std::vector<std::string> arguments,
                                ProcessIdentity *launched);

// How a slot ends the process it started last: killPlayerProcess, or a recorder in tests.
using StopFunction = void (*)(long long pid, long long startTime);

// The player an agent started last, with the means to start the next one and end the last.
// Owned by one agent: set up on the main thread before that agent's worker starts, then used
// only on the worker, so it needs no lock.
class PlayerSlot
{
public:
    explicit PlayerSlot(StopFunction stop = &killPlayerProcess);

    void setLaunchCallback(LaunchCallback launch);

    // Starts the program through the launch callback and remembers the process it reports.
    // False without a callback.
    bool launch(std::string program, std::vector<std::string> arguments);

    // Ends the player started last, if any; the slot keeps remembering it.
    void stopLast();

private:
    LaunchCallback m_pfnLaunch;
    StopFunction m_pfnStop;
    long long m_nPlayerPid;        // 0: none started yet
    long long m_nPlayerStartTime;  // identity of m_nPlayerPid, read at launch
};
