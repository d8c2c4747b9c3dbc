#include "play.h"

#include "envelope.h"
#include "playertable.h"
#include "subtitledownload.h"
#include "workingfolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QTime>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <ctime>

namespace {

// Names tried before giving up: far more than two agents can take in one millisecond, and a
// bound, so a folder full of stale names cannot hold a request forever.
constexpr int kMaxNameAttempts = 1000;

// The local time of day from the C library's reentrant conversion. QTime::currentTime() re-runs
// tzset() on every call, which frees and reallocates the library's zone state while the other
// agent's thread may be converting a time too.
QTime currentLocalTime()
{
    using namespace std::chrono;
    const system_clock::time_point now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    return QTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59), millis); // 60: a leap second
}

bool nameTaken(const QString &path)
{
    // A dangling link also blocks an exclusive create.
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QJsonObject playReply(QJsonObject &request)
{
    QJsonObject reply;
    reply.insert(QStringLiteral("action"), QStringLiteral("Play"));
    reply.insert(QStringLiteral("id"), request.take(QStringLiteral("id")));
    return reply;
}

} // namespace

VlcOptions readVlcOptions(const QJsonObject &params)
{
    VlcOptions options;
    const QJsonArray arguments = params.value(QLatin1String("arguments")).toArray();
    for (const QJsonValue &element : arguments) {
        if (!element.isObject())
            continue;
        const QJsonObject option = element.toObject();
        // An element that names video-on-top is read for it alone.
        if (option.contains(QLatin1String("video-on-top")))
            options.videoOnTop = option.value(QLatin1String("video-on-top")).toBool(true);
        else if (option.contains(QLatin1String("fullscreen")))
            options.fullscreen = option.value(QLatin1String("fullscreen")).toBool(false);
    }
    return options;
}

QByteArray playlistLine(const QJsonValue &url)
{
    QByteArray line = url.toString().toUtf8();
    line.replace('\r', "%0D");
    line.replace('\n', "%0A");
    line.append('\n');
    return line;
}

PlaylistEntries readPlaylistEntries(const QJsonArray &files, bool readSubFile)
{
    PlaylistEntries entries;
    for (const QJsonValue &element : files) {
        if (!element.isObject())
            continue;
        const QJsonObject file = element.toObject();
        if (file.contains(QLatin1String("url")))
            entries.text.append(playlistLine(file.value(QLatin1String("url"))));
        if (readSubFile && !entries.subFileSeen && file.contains(QLatin1String("sub-file"))) {
            entries.subFileSeen = true;
            entries.subFile = file.value(QLatin1String("sub-file")).toString().toStdString();
        }
    }
    return entries;
}

QByteArray playlistFileContent(const QByteArray &text)
{
    const int nul = text.indexOf('\0');
    return nul < 0 ? text : text.left(nul);
}

std::vector<std::string> playerArguments(bool vlc, const QString &playlistPath, const VlcOptions &options,
                                         const QString &subtitlePath)
{
    std::vector<std::string> arguments;
    if (!vlc) {
        arguments.push_back(playlistPath.toStdString());
        return arguments;
    }
    arguments.push_back(QUrl::fromLocalFile(playlistPath).toString().toStdString());
    if (options.videoOnTop)
        arguments.emplace_back("--video-on-top");
    if (options.fullscreen)
        arguments.emplace_back("--fullscreen");
    if (!subtitlePath.isEmpty())
        arguments.push_back((QStringLiteral("--sub-file=") + QDir::toNativeSeparators(subtitlePath)).toStdString());
    return arguments;
}

QString playlistTimeName(const QTime &time)
{
    return time.toString(QStringLiteral("hhmmsszzz"));
}

QString playlistCandidateName(const QString &timeName, int attempt)
{
    if (attempt == 0)
        return timeName;
    return timeName + QLatin1Char('-') + QString::number(attempt);
}

bool createPlaylistFile(QFile &file, const QString &folder, const QString &timeName, const QString &extension,
                        const QString &subtitleFolder, QString *name)
{
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const QString candidate = playlistCandidateName(timeName, attempt);
        // A stale subtitle of that name would make the download's own exclusive create fail.
        if (!subtitleFolder.isEmpty() && nameTaken(subtitleFolder + QLatin1Char('/') + candidate + QLatin1String(".srt")))
            continue;
        const QString path = folder + QLatin1Char('/') + candidate + extension;
        file.setFileName(path);
        // Created new: the other agent may pick the same name in the same millisecond, and
        // only one of them can win it; the loser moves on to the next name.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            *name = candidate;
            return true;
        }
        if (!nameTaken(path))
            return false;
    }
    return false;
}

QJsonObject handlePlay(QJsonObject &request, const QString &application, const PlayContext &context)
{
    return handlePlayAt(request, application, context, currentLocalTime());
}

QJsonObject handlePlayAt(QJsonObject &request, const QString &application, const PlayContext &context,
                         const QTime &time)
{
    const bool vlc = application == QLatin1String("vlc");
    const QString extension = vlc ? QStringLiteral(".list") : QStringLiteral(".m3u");
    const QString folder = playlistFolder();
    QDir().mkpath(folder);
    const QString timeName = playlistTimeName(time);

    std::string key;
    if (vlc)
        key = "vlc";
    else if (application == QLatin1String("elmedia"))
        key = "elmedia";
    else if (application == QLatin1String("potplayer"))
        key = "potplayer";
    else
        return replyUnsupport();

    if (!isPlayerInstalled(key)) {
        QJsonObject reply = playReply(request);
        reply.insert(QStringLiteral("return"), -1);
        return reply;
    }

    int result = -2;
    PlaylistEntries entries;
    bool downloaded = false;
    std::string program;
    std::vector<std::string> arguments;

    QFile file;
    QString name;
    const QString subtitles = vlc ? subtitleFolder() : QString();
    const bool opened = createPlaylistFile(file, folder, timeName, extension, subtitles, &name);
    if (!opened) {
        result = -3;
    } else {
        const QJsonObject params = request.take(QStringLiteral("params")).toObject();
        const VlcOptions options = vlc ? readVlcOptions(params) : VlcOptions();
        if (!params.contains(QLatin1String("files"))) {
            result = -4;
        } else {
            entries = readPlaylistEntries(params.value(QLatin1String("files")).toArray(), vlc);
            if (!entries.text.isEmpty()) {
                const QByteArray content = playlistFileContent(entries.text);
                // A playlist that did not reach the disk whole is not handed to a player.
                if (file.write(content) != content.size() || !file.flush()) {
                    result = -3;
                } else {
                    result = 0;
                    program = getPlayerPath(key);
                    QString subtitlePath;
                    if (vlc && !entries.subFile.empty()) {
                        QDir().mkpath(subtitles);
                        const QString path = subtitles + QLatin1Char('/') + name + QLatin1String(".srt");
                        downloaded = downloadSubFile(entries.subFile.c_str(), path.toUtf8().constData(), context.cancel);
                        if (downloaded)
                            subtitlePath = path;
                    }
                    arguments = playerArguments(vlc, file.fileName(), options, subtitlePath);
                }
            }
        }
        file.close();
    }

    if (context.stopLastPlayer)
        context.stopLastPlayer();

    QJsonObject reply = playReply(request);
    if (vlc && entries.subFileSeen)
        reply.insert(QStringLiteral("download_subfile_result"), downloaded);

    if (result != 0) {
        // Only a file this request created is removed; a failed create owns nothing.
        if (opened)
            file.remove();
    } else {
        result = context.launch && context.launch(program, arguments) ? 0 : -6;
    }
    reply.insert(QStringLiteral("return"), result);
    return reply;
}
