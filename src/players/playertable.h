#pragma once

#include <QString>

#include <map>
#include <string>

// The process-wide table of installed players: key ("vlc", "potplayer") to the executable's
// path, discovered from the registry with fixed defaults. Safe from any thread: one mutex
// guards the table for a whole refresh and for each lookup.

// Rebuilds the table; afterwards it holds exactly "vlc" and "potplayer", both non-empty.
void refreshPlayerPaths();

// The stored path as UTF-8; "" for a key that is not in the table (nothing is inserted).
std::string getPlayerPath(std::string key);

// True when the stored path names an existing file.
bool isPlayerInstalled(std::string key);

// A copy of the whole table, taken under the lock (for tests).
std::map<std::string, QString> playerPathSnapshot();
