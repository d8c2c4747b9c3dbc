#pragma once

#include <string>
#include <string_view>

// Files that the service writes for itself (its certificate and key), each replaced whole: the
// content goes to a new file beside the target, which is then renamed over it, so that no reader
// ever sees half of it and a failure leaves the old file as it was. Qt-free: one header for
// wholefile_win.cpp and wholefile_posix.cpp. Paths are UTF-8.

// Who may read the new file.
enum class FileReaders {
    // As its folder grants (POSIX: mode 0644).
    Everyone,
    // From its creation on: Windows: SYSTEM and the Administrators group only, nothing inherited
    // from the folder; POSIX: its owner only (mode 0600).
    Administrators,
};

// True when the file was written whole and renamed into place; *error says why not.
bool writeWholeFile(const std::string &path, std::string_view content, FileReaders readers,
                    std::string *error = nullptr);

// True when something exists at the path (a file, a folder, a link).
bool pathExists(const std::string &path);

// Removes a file; true when it is gone.
bool removeFile(const std::string &path);
