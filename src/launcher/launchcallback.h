#pragma once

#include "base/processidentity.h"

#include <atomic>
#include <string>
#include <vector>

// Debug mode starts programs as detached children of the service instead of in the user's
// session. Written once by the service's start on the main thread before any agent thread
// exists; only read afterwards.
extern std::atomic<bool> m_bDebugMode;

// The launch callback every agent's player slot is given: true when the program was started;
// *launched receives its id and start time in service mode and is left alone in debug mode.
bool runClientCommand(std::string program, std::vector<std::string> arguments,
                      ProcessIdentity *launched);
