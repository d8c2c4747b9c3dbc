#pragma once

#include "base/processidentity.h"

#include <atomic>
#include <string>
#include <vector>

class QString;

// Debug mode starts programs as detached children of the service instead of in the user's
// session. Written once by the service's start on the main thread before any agent thread
// exists; only read afterwards.
extern std::atomic<bool> m_bDebugMode;

// The launch callback every agent's player slot is given: true when the program was started;
// *launched receives its id and start time in service mode and is left alone in debug mode.
bool runClientCommand(std::string program, std::vector<std::string> arguments,
                      ProcessIdentity *launched);

// Where the launcher's service log entries go: the service hands its writer over at start
// (before any agent exists), tests a recorder. Without one the entries are dropped. Returns the
// writer it replaced.
using ServiceLogWriter = void (*)(const QString &entry);
ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer);
