#pragma once

// The result codes of the replies, under "return".
enum class ReturnCode : int {
    Started = 0,            // the playlist was written and the player was started
    NotInstalled = -1,      // the requested player is not installed
    NoUrl = -2,             // no element of "files" gave a "url": the playlist would be empty
    PlaylistNotWritten = -3, // the playlist file could not be created, or not written whole
    NoFiles = -4,           // "params" has no "files"
    Unsupported = -5,       // the request is not supported; comes with "Text": "Unsupport"
    LaunchFailed = -6,      // the player did not start (the launch callback answered false)
};
