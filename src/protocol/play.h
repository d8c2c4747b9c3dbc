#pragma once

#include "protocol/returncode.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <string>
#include <vector>

class PlayerSlot;
class PlayFiles;
class QFile;
class QTime;
enum class ItemFieldRule;
struct PlayerKind;

// What Play needs of the agent that received the request: the agent's player slot, the files of
// its latest Play, and its stop flag (atomic, set by the thread that stops the agent), which
// ends a subtitle download early. Built by that agent on its worker thread and used only
// there, for one request.
struct PlayContext {
    PlayerSlot &slot;
    PlayFiles &files;
    const std::atomic<bool> *cancel = nullptr;
};

// Answers a Play request: writes the playlist, fetches VLC's subtitle, ends this agent's last
// player and starts the requested one. Takes "params" and "id" out of `request`.
QJsonObject handlePlay(QJsonObject &request, const QString &application, const PlayContext &context);

// handlePlay with the time of day that names the playlist given, so that equal names can be
// produced on purpose.
QJsonObject handlePlayAt(QJsonObject &request, const QString &application, const PlayContext &context,
                         const QTime &time);

// What preparePlaylist leaves for the tail of Play.
struct PreparedPlay {
    QString playlistPath;     // the file this request created; empty when it created none
    QString playlistName;     // its name in the playlist folder
    QString subtitleName;     // the subtitle it fetched, in the subtitle folder; empty for none
    bool subFileSeen = false; // some element of "files" had "sub-file" (players that take one)
    bool downloaded = false;  // that subtitle arrived
    std::string program;      // set for ReturnCode::Started
    std::vector<std::string> arguments;
};

// Play up to its fixed tail, for an installed player: creates the playlist file under the time
// name, reads "params", writes the playlist, fetches the subtitle and builds the command line.
// Started when the player may be launched; otherwise the code to answer with.
ReturnCode preparePlaylist(const PlayerKind &player, QJsonObject &request, const QTime &time,
                           const std::atomic<bool> *cancel, PreparedPlay *prepared);

// The pieces of Play, each free of side effects except createPlaylistFile.

struct VlcOptions {
    bool videoOnTop = true;
    bool fullscreen = false;
};

// The window options (players that take them) from "params"/"arguments"; later elements
// override earlier ones.
VlcOptions readVlcOptions(const QJsonObject &params);

// The optional fields of one "files" element, each empty unless present and valid: a "title"
// without control characters, a "start" of seconds (non-negative, below kMaxStartSeconds) in the
// form the players take, a "referrer" that is an http or https URL, a "user-agent" of printable
// ASCII. None can hold a line break, so none can become a playlist line of its own.
struct ItemFields {
    QString title;
    QString start;
    QString referrer;
    QString userAgent;
};

constexpr double kMaxStartSeconds = 1e9;

ItemFields readItemFields(const QJsonObject &file);

struct PlaylistEntries {
    QByteArray text;          // one UTF-8 line per "url", each ended by "\n", and its field lines
    bool subFileSeen = false; // some element had "sub-file"
    std::string subFile;      // the first "sub-file", UTF-8; empty means no download
    ItemFields shared;        // ItemFieldRule::CommandLine: the values every entry gives alike
};

// The playlist lines of "files"; "sub-file" is looked at only when readSubFile is set (players
// that take a subtitle), the optional fields as `rule` says. When any field line is written, the
// text begins with an "#EXTM3U" header; without fields it is the urls' lines alone.
PlaylistEntries readPlaylistEntries(const QJsonArray &files, bool readSubFile, ItemFieldRule rule);

// One playlist line. Carriage returns and line feeds are percent-encoded so the entry stays one
// line, and a "#" that would begin the line (after blanks or a byte order mark) as "%23" so it
// is never a directive to the player; a non-string url gives an empty line.
QByteArray playlistLine(const QJsonValue &url);

// What is written to the playlist file: the text up to its first NUL.
QByteArray playlistFileContent(const QByteArray &text);

// The player's arguments in order, by its argument rules. subtitlePath is empty when no
// subtitle was fetched; shared holds the fields of ItemFieldRule::CommandLine.
std::vector<std::string> playerArguments(const PlayerKind &player, const QString &playlistPath,
                                         const VlcOptions &options, const QString &subtitlePath,
                                         const ItemFields &shared = ItemFields());

// The nine-digit local time name "hhmmsszzz".
QString playlistTimeName(const QTime &time);

// The name tried at `attempt`: the time name itself first, then "<time name>-1", "-2", ...
QString playlistCandidateName(const QString &timeName, int attempt);

// Creates the playlist file new (never reusing an existing file) in the playlist folder under the
// first free candidate name, and leaves it open for writing. When withSubtitle is set, a name
// whose ".srt" already exists in the subtitle folder counts as taken too. On success `name` is
// the chosen name without extension. False when the file cannot be created for another reason
// than a taken name.
bool createPlaylistFile(QFile &file, const QString &timeName, const QString &extension, bool withSubtitle,
                        QString *name);
