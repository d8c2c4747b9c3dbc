#pragma once

#include "launcher/sessionchoice_linux.h"
#include "launcher/sessionlauncher.h"
#include "launcher/spawn_linux.h"
#include "launcher/usermanager_linux.h"
#include "launcher/userenvironment_linux.h"

#include <sys/types.h>

#include <string>
#include <vector>

// The Linux session launcher in pieces that tests can drive without a logind session: the
// session choice, the user's environment, the spawn, and the route that joins them.
namespace sessionlauncher {

// How the root path asks a user's own systemd manager to start the program: startUserUnit, or a
// stand-in in tests.
using UnitStarter = usermanager::UnitResult (*)(uid_t uid, const usermanager::UnitRequest &request,
                                                std::chrono::milliseconds timeout);

// The root path of launchGUIApplication, on the given session list: the user's manager starts
// the program with the session's display environment; when that manager cannot be reached or
// refuses, the program is started here as that user with the whole environment. A manager that
// took the call but did not finish it in time gives false, and no second start.
bool launchInUserSession(const std::vector<LogindSession> &sessions, const std::string &program,
                         const std::vector<std::string> &arguments, ProcessIdentity *launched,
                         UnitStarter startUnit = &usermanager::startUserUnit);

} // namespace sessionlauncher
