#pragma once

#include <QtGlobal>

#include <atomic>
#include <cstddef>

class QFile;
class QIODevice;

// Downloading a subtitle file for the player, with libcurl's easy interface.

// curl_global_init(CURL_GLOBAL_ALL), once per process however often it is called; thread-safe.
void initCurlGlobally();

// Bounds of one transfer. The defaults are the service's; tests may shorten them.
struct SubFileLimits {
    long connectTimeoutMs = 10 * 1000;
    // The agent serves no one else meanwhile: a subtitle trickling just above the low-speed
    // limit holds it this long at most.
    long totalTimeoutMs = 20 * 1000;
    qint64 maxBytes = 16 * 1024 * 1024;
    // Slower than this many bytes a second for lowSpeedSeconds aborts the transfer: a server
    // that sends a byte now and then would hold the agent for the whole time-out.
    long lowSpeedBytesPerSecond = 1024;
    long lowSpeedSeconds = 10;
};

// Downloads `url` (http or https only, redirects not followed, certificates not checked) into a
// new file `filePath` (UTF-8). True only when the whole body arrived with a 2xx status; on any
// failure no file is left behind. An existing file is never touched: the result is then false.
// A set `cancel` flag aborts the transfer (checked about once a second while idle). Blocks.
bool downloadSubFile(const char *url, const char *filePath,
                     const std::atomic<bool> *cancel = nullptr);
bool downloadSubFile(const char *url, const char *filePath, const std::atomic<bool> *cancel,
                     const SubFileLimits &limits);
// The same into a file the caller has created and opened for writing; the caller removes it
// when the result is false.
bool downloadSubFile(const char *url, QFile &file, const std::atomic<bool> *cancel,
                     const SubFileLimits &limits = SubFileLimits());

// Writes size * count bytes from data to device; returns what QIODevice::write returns.
qint64 writeSubFileData(char *data, size_t size, size_t count, QIODevice *device);
