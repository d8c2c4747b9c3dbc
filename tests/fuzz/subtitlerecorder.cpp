#include "subtitlerecorder.h"

#include "players/subtitledownload.h"

#include <QFile>
#include <QIODevice>

SubtitleCall &lastSubtitleCall()
{
    static SubtitleCall s_call;
    return s_call;
}

void initCurlGlobally()
{
}

bool downloadSubFile(const char *url, const char *filePath, const std::atomic<bool> *cancel,
                     const SubFileLimits &)
{
    (void)cancel;
    SubtitleCall &call = lastSubtitleCall();
    call.called = true;
    call.url = url;
    call.filePath = filePath;
    // Succeeds for some urls, so that both outcomes reach the argument list.
    call.result = call.url.size() % 2 == 0;
    return call.result;
}

bool downloadSubFile(const char *url, const char *filePath, const std::atomic<bool> *cancel)
{
    return downloadSubFile(url, filePath, cancel, SubFileLimits());
}

bool downloadSubFile(const char *url, QFile &file, const std::atomic<bool> *cancel, const SubFileLimits &limits)
{
    // A file opened on a descriptor has no name of its own: the descriptor tells where it is.
    const QString path = QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(file.handle()));
    return downloadSubFile(url, path.toUtf8().constData(), cancel, limits);
}

qint64 writeSubFileData(char *data, size_t size, size_t count, QIODevice *device)
{
    return device->write(data, static_cast<qint64>(size * count));
}
