#pragma once

#include <QtGlobal>

#include <atomic>
#include <string>
#include <vector>

class QString;

// How an agent starts a program: true when the program was started; *processId receives
// the id of the started process where the mode knows it.
using LaunchCallback = bool (*)(std::string program, std::vector<std::string> arguments,
                                qint64 *processId);

// Debug mode starts programs as detached children of the service instead of in the user's
// session. Written once by the service's start on the main thread before any agent thread
// exists; only read afterwards.
extern std::atomic<bool> m_bDebugMode;

// The launch callback every agent is given.
bool runClientCommand(std::string program, std::vector<std::string> arguments,
                      qint64 *processId);

// Where the launcher's service log entries go. The default forwards to
// QtServiceBase::instance()->logMessage (and drops the entry when no service object
// exists); tests install a recorder. Returns the writer it replaced.
using ServiceLogWriter = void (*)(const QString &entry);
ServiceLogWriter setServiceLogWriter(ServiceLogWriter writer);
