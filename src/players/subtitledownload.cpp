#include "players/subtitledownload.h"

#include <QDebug>
#include <QFile>
#include <QString>

#include <curl/curl.h>

#include <limits>
#include <memory>
#include <mutex>

namespace {

// One per transfer, on the downloading thread's stack; only libcurl's callbacks on that thread
// touch it. `cancel` is written by the thread that stops the agent.
struct Transfer {
    QFile *file = nullptr;
    qint64 received = 0;
    qint64 maxBytes = 0;
    const std::atomic<bool> *cancel = nullptr;
};

bool cancelled(const Transfer &transfer)
{
    return transfer.cancel != nullptr && transfer.cancel->load();
}

// A count different from size * count makes libcurl end the transfer with a write error.
size_t onCurlWrite(char *data, size_t size, size_t count, void *userData)
{
    Transfer &transfer = *static_cast<Transfer *>(userData);
    if (count != 0 && size > std::numeric_limits<size_t>::max() / count)
        return 0;
    const size_t bytes = size * count;
    if (bytes == 0)
        return 0;
    // Bodies without a length are not caught by CURLOPT_MAXFILESIZE_LARGE.
    if (cancelled(transfer) || bytes > static_cast<size_t>(transfer.maxBytes - transfer.received))
        return 0;
    const qint64 written = writeSubFileData(data, size, count, transfer.file);
    if (written < 0 || static_cast<size_t>(written) != bytes)
        return 0;
    transfer.received += written;
    return bytes;
}

int onCurlProgress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return cancelled(*static_cast<Transfer *>(userData)) ? 1 : 0;
}

// libcurl's verbose lines go to the service's own log stream instead of stderr, which a service
// does not have; bodies and TLS records are left out, as curl's own verbose output does.
int onCurlDebug(CURL *, curl_infotype type, char *data, size_t size, void *)
{
    const char *prefix = nullptr;
    switch (type) {
    case CURLINFO_TEXT:
        prefix = "*";
        break;
    case CURLINFO_HEADER_IN:
        prefix = "<";
        break;
    case CURLINFO_HEADER_OUT:
        prefix = ">";
        break;
    default:
        return 0;
    }
    const QByteArray text = QByteArray::fromRawData(data, static_cast<int>(qMin<size_t>(size, INT_MAX)));
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.endsWith('\r') ? line.chopped(1) : line;
        if (!trimmed.isEmpty())
            qDebug().noquote() << prefix << QString::fromUtf8(trimmed);
    }
    return 0;
}

} // namespace

void initCurlGlobally()
{
    // Shared by every thread that creates an agent or downloads; std::call_once guards it.
    static std::once_flag s_curlInitialised;
    std::call_once(s_curlInitialised, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

qint64 writeSubFileData(char *data, size_t size, size_t count, QIODevice *device)
{
    if (device == nullptr || (count != 0 && size > std::numeric_limits<size_t>::max() / count))
        return -1;
    const size_t bytes = size * count;
    if (bytes > static_cast<size_t>(std::numeric_limits<qint64>::max()))
        return -1;
    return device->write(data, static_cast<qint64>(bytes));
}

bool downloadSubFile(const char *url, const char *filePath, const std::atomic<bool> *cancel)
{
    return downloadSubFile(url, filePath, cancel, SubFileLimits());
}

bool downloadSubFile(const char *url, const char *filePath, const std::atomic<bool> *cancel,
                     const SubFileLimits &limits)
{
    if (url == nullptr || filePath == nullptr)
        return false;
    // Created new: an existing file is someone else's, and old bytes must never mix in.
    QFile file(QString::fromUtf8(filePath));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    const bool complete = downloadSubFile(url, file, cancel, limits);
    file.close();
    if (!complete)
        file.remove();
    return complete;
}

bool downloadSubFile(const char *url, QFile &file, const std::atomic<bool> *cancel, const SubFileLimits &limits)
{
    if (url == nullptr || !file.isOpen())
        return false;
    initCurlGlobally();
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(),
                                                                     &curl_easy_cleanup);
    CURL *curl = handle.get();
    if (curl == nullptr)
        return false;

    Transfer transfer;
    transfer.maxBytes = limits.maxBytes;
    transfer.cancel = cancel;

    // A refused option (the protocol list above all) must not let the transfer run unbounded.
    bool configured = true;
    const auto set = [&](CURLoption option, auto value) {
        configured = configured && curl_easy_setopt(curl, option, value) == CURLE_OK;
    };
    set(CURLOPT_VERBOSE, 1L);
    set(CURLOPT_SSL_VERIFYPEER, 0L);
    set(CURLOPT_SSL_VERIFYHOST, 0L);
    set(CURLOPT_URL, url);
    set(CURLOPT_VERBOSE, 1L);
    set(CURLOPT_NOPROGRESS, 1L);
    set(CURLOPT_WRITEFUNCTION, &onCurlWrite);
    set(CURLOPT_DEBUGFUNCTION, &onCurlDebug);
    set(CURLOPT_NOSIGNAL, 1L); // a worker thread must not take SIGALRM for its time-outs
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
    set(CURLOPT_TIMEOUT_MS, limits.totalTimeoutMs);
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBytes));
    set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
    set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
    if (cancel != nullptr) {
        // The progress callback is what runs while the server sends nothing.
        set(CURLOPT_XFERINFOFUNCTION, &onCurlProgress);
        set(CURLOPT_XFERINFODATA, static_cast<void *>(&transfer));
        set(CURLOPT_NOPROGRESS, 0L);
    }
    if (!configured || cancelled(transfer))
        return false;

    transfer.file = &file;
    set(CURLOPT_WRITEDATA, static_cast<void *>(&transfer));

    bool complete = false;
    if (configured && curl_easy_perform(curl) == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        complete = status >= 200 && status <= 299;
    }
    return complete && file.flush();
}
