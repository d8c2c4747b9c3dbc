#pragma once

#include "base/processidentity.h"

#include <string>
#include <vector>

// Starting a program on the desktop of the user logged on to the machine, from a service.
// Qt-free: shared by both platform files.

// True exactly when the process was created. *launched receives its id and its start time,
// read from the live process before this returns, on success; 0 and 0 when creation was
// attempted and failed. It is left untouched when the call fails before. Each stage writes its
// entry to the service log.
bool launchGUIApplication(std::string program, std::vector<std::string> arguments,
                          ProcessIdentity *launched);
