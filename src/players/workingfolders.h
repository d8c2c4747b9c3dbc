#pragma once

#include <QString>

// The folders that hold the files handed to the players: playlists and downloaded subtitles.

// Windows: "C:/Users/Public". Linux: $MIRVALE_PUBLIC_DIR when set and not empty, else
// "/var/lib" for root, else the user's generic data location.
QString publicFolder();

// publicFolder() + "/Mirvale/playlist"
QString playlistFolder();

// publicFolder() + "/Mirvale/subfiles"
QString subtitleFolder();

// Creates both folders when missing and removes the ordinary files in them (playlist folder
// first). Sub-folders and hidden files stay; failures are silent.
void clearWorkingFolders();
