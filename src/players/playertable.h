#pragma once

#include "settings/settings.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <string>
#include <vector>

// What the service knows of each player it can drive: one row per player, in playerKinds()
// (playertable.cpp). Getinfo, Play and the discovery below read it; adding a player is a row.

// Where a player's executable is found.
// Windows, and Linux with MIRVALE_REGISTRY set: where its installer records it under
// HKEY_LOCAL_MACHINE, and the defaults. The 32-bit registration counts only when the 64-bit key
// does not open at all.
// Linux otherwise: the configured program, else the command on PATH, else fixed locations (the
// packaging systems' launchers); nothing found leaves the registry rules' last default.
// A player without an installer registration (null key64) is found on Windows only through its
// configured program.
struct PlayerDiscovery {
    const char *valueName;
    const char *key64;
    const char *key32;
    const char *appended;    // after a found text
    const char *default64;   // the 64-bit key opened without the value
    const char *default32;   // the 32-bit key opened without the value
    const char *defaultNone; // neither key opened
    QString Settings::*configured; // the setting that names the program on Linux
    const char *command;           // the name looked up on PATH; null: not looked up
    std::vector<const char *> locations; // tried after PATH, in order
};

// How the optional fields of a "files" element ("title", "start", "referrer", "user-agent") reach
// the player.
enum class ItemFieldRule {
    Ignored,
    TitleLine,     // "#EXTINF:-1,<title>" before the url; the rest is left out
    PlaylistLines, // that title line, then one "#EXTVLCOPT:" line for each of the rest
    // mpv's options --force-media-title=, --start=, --referrer=, --user-agent=: they hold for
    // every entry of the playlist, so only a value that every entry gives alike is passed.
    CommandLine,
};

struct PlayerKind {
    const char *key;               // "application" in Play, "player" in Getinfo, the table key
    const char *displayName;       // Getinfo's "display_name"
    const char *playlistExtension; // ".list", ".m3u"
    QStringList options;           // Getinfo's "arguments"; none: the key is left out
    bool playlistAsUrl;            // the playlist is passed as a file URL, else as a plain path
    // The arguments for "video-on-top" and "fullscreen" of "arguments"; null: options not taken.
    const char *onTopArgument;
    const char *fullscreenArgument;
    bool subtitle;                 // fetches the first "sub-file" and takes it as --sub-file=
    ItemFieldRule itemFields;
    bool offeredWhenInstalled;     // Getinfo's "support" lists it only while it is installed
    // Null: never installed, and not offered by Getinfo (a key Play accepts all the same).
    const PlayerDiscovery *discovery;
};

// Every player, in the order Getinfo lists them.
const std::vector<PlayerKind> &playerKinds();

// The player with exactly that key (case-sensitive), or null.
const PlayerKind *findPlayerKind(const QString &key);

// The Linux search for a player's program: configured when it is an executable file, else the
// first executable `command` in the absolute folders of searchPath (a PATH text), else the first
// executable location. Empty when none is. isExecutable decides what counts (tests fake it).
QString findDesktopProgram(const PlayerDiscovery &discovery, const QString &configured,
                           const QString &searchPath,
                           const std::function<bool(const QString &path)> &isExecutable);

// The process-wide table of installed players: key to the executable's path, discovered as
// PlayerDiscovery says. Safe from any thread: one mutex guards the table for a whole refresh
// and for each lookup.

// Rebuilds the table; afterwards it holds the players with discovery rows, each with a non-empty
// path: all of them except one without a registration whose program was not found.
void refreshPlayerPaths();

// The stored path as UTF-8; "" for a key that is not in the table (nothing is inserted).
std::string getPlayerPath(std::string key);

// True when the stored path names an existing file.
bool isPlayerInstalled(std::string key);

// A copy of the whole table, taken under the lock (for tests).
std::map<std::string, QString> playerPathSnapshot();
