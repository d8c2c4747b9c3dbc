#include "protocol/play.h"

#include "players/playerslot.h"
#include "players/playertable.h"
#include "players/subtitledownload.h"
#include "players/workingfolders.h"
#include "protocol/unsupport.h"

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

void setReturn(QJsonObject &reply, ReturnCode code)
{
    reply.insert(QStringLiteral("return"), static_cast<int>(code));
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
    // Players skip blanks (and a byte order mark) before looking for a directive's "#".
    static const QByteArray kByteOrderMark("\xEF\xBB\xBF");
    int start = 0;
    while (start < line.size()) {
        if (line.at(start) == ' ' || line.at(start) == '\t')
            ++start;
        else if (line.mid(start, 3) == kByteOrderMark)
            start += 3;
        else
            break;
    }
    if (start < line.size() && line.at(start) == '#')
        line.replace(start, 1, "%23");
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

std::vector<std::string> playerArguments(const PlayerKind &player, const QString &playlistPath,
                                         const VlcOptions &options, const QString &subtitlePath)
{
    std::vector<std::string> arguments;
    arguments.push_back(player.playlistAsUrl ? QUrl::fromLocalFile(playlistPath).toString().toStdString()
                                             : playlistPath.toStdString());
    if (player.windowOptions && options.videoOnTop)
        arguments.emplace_back("--video-on-top");
    if (player.windowOptions && options.fullscreen)
        arguments.emplace_back("--fullscreen");
    if (player.subtitle && !subtitlePath.isEmpty())
        arguments.push_back((QStringLiteral("--sub-file=") + QDir::toNativeSeparators(subtitlePath)).toStdString());
    return arguments;
}

QString playlistTimeName(const QTime &time)
{
    // Not QTime::toString: it goes through the system locale, whose first use is not safe when
    // two agents make it at once (an empty name was seen), and digits must not depend on it.
    return QString::asprintf("%02d%02d%02d%03d", time.hour(), time.minute(), time.second(), time.msec());
}

QString playlistCandidateName(const QString &timeName, int attempt)
{
    if (attempt == 0)
        return timeName;
    return timeName + QLatin1Char('-') + QString::number(attempt);
}

bool createPlaylistFile(QFile &file, const QString &timeName, const QString &extension, bool withSubtitle,
                        QString *name)
{
    const QString subtitles = subtitleFolder();
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const QString candidate = playlistCandidateName(timeName, attempt);
        // A stale subtitle of that name would make the download's own exclusive create fail.
        if (withSubtitle && nameTaken(subtitles + QLatin1Char('/') + candidate + QLatin1String(".srt")))
            continue;
        // Created new: the other agent may pick the same name in the same millisecond, and
        // only one of them can win it; the loser moves on to the next name.
        switch (createWorkingFile(file, WorkingFolder::Playlist, candidate + extension)) {
        case FileCreation::Created:
            *name = candidate;
            return true;
        case FileCreation::Taken:
            continue;
        case FileCreation::Failed:
            return false;
        }
    }
    return false;
}

namespace {

// The subtitle into a new file of the subtitle folder; its name there when it arrived whole.
QString fetchSubtitle(const std::string &url, const QString &name, const std::atomic<bool> *cancel)
{
    const QString fileName = name + QLatin1String(".srt");
    QFile file;
    if (createWorkingFile(file, WorkingFolder::Subtitle, fileName) != FileCreation::Created)
        return QString();
    const bool complete = downloadSubFile(url.c_str(), file, cancel);
    file.close();
    if (complete)
        return fileName;
    removeWorkingFile(WorkingFolder::Subtitle, fileName);
    return QString();
}

} // namespace

QJsonObject handlePlay(QJsonObject &request, const QString &application, const PlayContext &context)
{
    return handlePlayAt(request, application, context, currentLocalTime());
}

ReturnCode preparePlaylist(const PlayerKind &player, QJsonObject &request, const QTime &time,
                           const std::atomic<bool> *cancel, PreparedPlay *prepared)
{
    const QString extension = QLatin1String(player.playlistExtension);
    QFile file;
    QString name;
    if (!createPlaylistFile(file, playlistTimeName(time), extension, player.subtitle, &name))
        return ReturnCode::PlaylistNotWritten; // "params" is not read at all then
    prepared->playlistName = name + extension;
    prepared->playlistPath = playlistFolder() + QLatin1Char('/') + prepared->playlistName;

    const QJsonObject params = request.take(QStringLiteral("params")).toObject();
    if (!params.contains(QLatin1String("files")))
        return ReturnCode::NoFiles;
    const VlcOptions options = player.windowOptions ? readVlcOptions(params) : VlcOptions();
    const PlaylistEntries entries =
            readPlaylistEntries(params.value(QLatin1String("files")).toArray(), player.subtitle);
    prepared->subFileSeen = entries.subFileSeen;
    if (entries.text.isEmpty())
        return ReturnCode::NoUrl;

    // A playlist that did not reach the disk whole is not handed to a player.
    const QByteArray content = playlistFileContent(entries.text);
    if (file.write(content) != content.size() || !file.flush())
        return ReturnCode::PlaylistNotWritten;

    prepared->program = getPlayerPath(player.key);
    QString subtitlePath;
    if (!entries.subFile.empty()) {
        prepared->subtitleName = fetchSubtitle(entries.subFile, name, cancel);
        prepared->downloaded = !prepared->subtitleName.isEmpty();
        if (prepared->downloaded)
            subtitlePath = subtitleFolder() + QLatin1Char('/') + prepared->subtitleName;
    }
    prepared->arguments = playerArguments(player, prepared->playlistPath, options, subtitlePath);
    return ReturnCode::Started;
}

QJsonObject handlePlayAt(QJsonObject &request, const QString &application, const PlayContext &context,
                         const QTime &time)
{
    // Made for every request, before the player is known.
    prepareWorkingFolder(WorkingFolder::Playlist);
    const PlayerKind *player = findPlayerKind(application);
    if (!player)
        return replyUnsupport();
    if (!isPlayerInstalled(player->key)) {
        QJsonObject reply = playReply(request);
        setReturn(reply, ReturnCode::NotInstalled);
        return reply;
    }

    PreparedPlay prepared;
    ReturnCode result = preparePlaylist(*player, request, time, context.cancel, &prepared);
    // The agent is being stopped: no player starts, and the one on the desktop stays.
    const bool stopping = context.cancel && context.cancel->load();
    if (stopping && result == ReturnCode::Started)
        result = ReturnCode::LaunchFailed;

    // The fixed tail, whatever the outcome so far: the last player goes, the reply is built, and
    // the new player is started or what this request wrote is removed.
    if (!stopping)
        context.slot.stopLast();
    QJsonObject reply = playReply(request);
    if (prepared.subFileSeen)
        reply.insert(QStringLiteral("download_subfile_result"), prepared.downloaded);
    if (result == ReturnCode::Started) {
        if (!context.slot.launch(std::move(prepared.program), std::move(prepared.arguments)))
            result = ReturnCode::LaunchFailed;
        // Kept whatever the launch did; what this agent's earlier Plays kept goes now.
        std::vector<WorkingFile> kept{{WorkingFolder::Playlist, prepared.playlistName}};
        if (!prepared.subtitleName.isEmpty())
            kept.push_back({WorkingFolder::Subtitle, prepared.subtitleName});
        context.files.replace(std::move(kept));
    } else {
        if (!prepared.playlistName.isEmpty())
            removeWorkingFile(WorkingFolder::Playlist, prepared.playlistName);
        if (!prepared.subtitleName.isEmpty())
            removeWorkingFile(WorkingFolder::Subtitle, prepared.subtitleName);
    }
    setReturn(reply, result);
    return reply;
}
