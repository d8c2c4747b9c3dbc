#pragma once

#include <QString>

#include <vector>

class QFile;

// The folders that hold the files handed to the players: playlists and downloaded subtitles.
// They are reached without following a link at "Mirvale", "playlist" or "subfiles": the service
// writes and empties them with its own rights, and the public folder is open to every user.

// Windows: "C:/Users/Public". Linux: $MIRVALE_PUBLIC_DIR when set and not empty, else
// "/var/lib" for root, else the user's generic data location.
QString publicFolder();

// publicFolder() + "/Mirvale/playlist"
QString playlistFolder();

// publicFolder() + "/Mirvale/subfiles"
QString subtitleFolder();

enum class WorkingFolder { Playlist, Subtitle };

// playlistFolder() or subtitleFolder().
QString workingFolderPath(WorkingFolder folder);

// Creates both folders when missing and removes the ordinary files in them (playlist folder
// first). Sub-folders and hidden files stay; failures are silent.
void clearWorkingFolders();

// Makes the folder and "Mirvale" above it real folders: a link (Windows: a reparse point) at
// either is removed and a folder made in its place. On Windows only SYSTEM and Administrators
// may write in them; everyone may read. False when the folder cannot be had.
bool prepareWorkingFolder(WorkingFolder folder);

enum class FileCreation { Created, Taken, Failed };

// Creates the file `name` new in the folder (prepared as above, with no moment in which a link
// could be put in its way) and opens it in `file` for writing. Taken: a file or link of that
// name exists and is left as it is.
FileCreation createWorkingFile(QFile &file, WorkingFolder folder, const QString &name);

// Removes the file `name` of the folder, never anything a link points to; false when it stays.
bool removeWorkingFile(WorkingFolder folder, const QString &name);

// A file in a working folder.
struct WorkingFile {
    WorkingFolder folder;
    QString name;
};

// The files of one agent's latest Play: a newer Play that keeps files of its own removes them,
// so each agent leaves one playlist (and subtitle) however long the service runs. Files another
// agent wrote are never named here. Owned by one agent and used only on its worker thread.
class PlayFiles
{
public:
    // The files a Play has just kept; the ones kept before are removed. One that cannot go yet
    // (a player that is ending still holds it, on Windows) is tried again at the next Play.
    void replace(std::vector<WorkingFile> latest);
    const std::vector<WorkingFile> &latest() const { return m_latest; }

private:
    std::vector<WorkingFile> m_latest;
    std::vector<WorkingFile> m_stale;
};
