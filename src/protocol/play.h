#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

class QFile;
class QTime;

// What Play needs from the agent that received the request. Built by that agent on its worker
// thread and used only there, for the length of one request.
struct PlayContext {
    // Starts the player; true when it started. The agent records the new process id itself.
    std::function<bool(std::string program, std::vector<std::string> arguments)> launch;
    // Ends the player this agent started last, if any.
    std::function<void()> stopLastPlayer;
    // The agent's stop flag (owned by the agent, atomic): ends a subtitle download early.
    const std::atomic<bool> *cancel = nullptr;
};

// Answers a Play request: writes the playlist, fetches VLC's subtitle, ends this agent's last
// player and starts the requested one. Takes "params" and "id" out of `request`.
QJsonObject handlePlay(QJsonObject &request, const QString &application, const PlayContext &context);

// handlePlay with the time of day that names the playlist given, so that equal names can be
// produced on purpose.
QJsonObject handlePlayAt(QJsonObject &request, const QString &application, const PlayContext &context,
                         const QTime &time);

// The pieces of Play, each free of side effects except createPlaylistFile.

struct VlcOptions {
    bool videoOnTop = true;
    bool fullscreen = false;
};

// The window options from "params"/"arguments"; later elements override earlier ones.
VlcOptions readVlcOptions(const QJsonObject &params);

struct PlaylistEntries {
    QByteArray text;          // one UTF-8 line per "url", each ended by "\n"
    bool subFileSeen = false; // some element had "sub-file"
    std::string subFile;      // the first "sub-file", UTF-8; empty means no download
};

// The playlist lines of "files"; "sub-file" is looked at only when readSubFile is set (VLC).
PlaylistEntries readPlaylistEntries(const QJsonArray &files, bool readSubFile);

// One playlist line. Carriage returns and line feeds are percent-encoded so the entry stays one
// line; a non-string url gives an empty line.
QByteArray playlistLine(const QJsonValue &url);

// What is written to the playlist file: the text up to its first NUL.
QByteArray playlistFileContent(const QByteArray &text);

// The player's arguments in order. subtitlePath is empty when no subtitle was fetched.
std::vector<std::string> playerArguments(bool vlc, const QString &playlistPath, const VlcOptions &options,
                                         const QString &subtitlePath);

// The nine-digit local time name "hhmmsszzz".
QString playlistTimeName(const QTime &time);

// The name tried at `attempt`: the time name itself first, then "<time name>-1", "-2", ...
QString playlistCandidateName(const QString &timeName, int attempt);

// Creates the playlist file new (never reusing an existing file) under the first free candidate
// name in `folder`, and leaves it open for writing. When subtitleFolder is not empty, a name whose
// ".srt" already exists there counts as taken too. On success `name` is the chosen name without
// extension. False when the file cannot be created for another reason than a taken name.
bool createPlaylistFile(QFile &file, const QString &folder, const QString &timeName, const QString &extension,
                        const QString &subtitleFolder, QString *name);
