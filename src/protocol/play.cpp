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
#include <utility>

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

// No C0 or C1 control character (a NUL, a line break, DEL...) and no Unicode line break.
bool isOneLineText(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return false;
    }
    return true;
}

bool isPrintableAscii(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7E)
            return false;
    }
    return true;
}

QString stringField(const QJsonObject &file, QLatin1String key)
{
    const QJsonValue value = file.value(key);
    return value.isString() ? value.toString() : QString();
}

// Plain decimals, to the millisecond, without trailing zeros: "90", "12.5".
QString secondsText(const QJsonValue &value)
{
    if (!value.isDouble())
        return {};
    const double seconds = value.toDouble() + 0.0; // -0 becomes 0
    if (!(seconds >= 0 && seconds < kMaxStartSeconds))
        return {};
    QString text = QString::number(seconds, 'f', 3);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return text;
}

bool isWebUrl(const QString &text)
{
    if (!isPrintableAscii(text) || text.contains(QLatin1Char(' ')))
        return false;
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
           && !url.host().isEmpty();
}

// The lines a player's playlist takes before an entry's url.
QByteArray itemLines(const ItemFields &fields, ItemFieldRule rule)
{
    QByteArray lines;
    if (rule != ItemFieldRule::TitleLine && rule != ItemFieldRule::PlaylistLines)
        return lines;
    if (!fields.title.isEmpty())
        lines += "#EXTINF:-1," + fields.title.toUtf8() + '\n';
    if (rule == ItemFieldRule::PlaylistLines) {
        const std::pair<const char *, const QString *> options[] = {
            {"start-time", &fields.start}, {"http-referrer", &fields.referrer}, {"http-user-agent", &fields.userAgent}};
        for (const auto &[name, value] : options) {
            if (!value->isEmpty())
                lines += "#EXTVLCOPT:" + QByteArray(name) + '=' + value->toUtf8() + '\n';
        }
    }
    return lines;
}

// Keeps only what both give alike.
void keepShared(ItemFields &shared, const ItemFields &fields)
{
    for (QString ItemFields::*member : {&ItemFields::title, &ItemFields::start, &ItemFields::referrer,
                                        &ItemFields::userAgent}) {
        if (shared.*member != fields.*member)
            (shared.*member).clear();
    }
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

ItemFields readItemFields(const QJsonObject &file)
{
    ItemFields fields;
    fields.title = stringField(file, QLatin1String("title"));
    if (!isOneLineText(fields.title))
        fields.title.clear();
    fields.start = secondsText(file.value(QLatin1String("start")));
    fields.referrer = stringField(file, QLatin1String("referrer"));
    if (!isWebUrl(fields.referrer))
        fields.referrer.clear();
    fields.userAgent = stringField(file, QLatin1String("user-agent"));
    if (!isPrintableAscii(fields.userAgent))
        fields.userAgent.clear();
    return fields;
}

PlaylistEntries readPlaylistEntries(const QJsonArray &files, bool readSubFile, ItemFieldRule rule)
{
    PlaylistEntries entries;
    bool withFieldLines = false;
    bool firstEntry = true;
    for (const QJsonValue &element : files) {
        if (!element.isObject())
            continue;
        const QJsonObject file = element.toObject();
        if (file.contains(QLatin1String("url"))) {
            const ItemFields fields = rule == ItemFieldRule::Ignored ? ItemFields() : readItemFields(file);
            const QByteArray lines = itemLines(fields, rule);
            withFieldLines = withFieldLines || !lines.isEmpty();
            entries.text.append(lines);
            entries.text.append(playlistLine(file.value(QLatin1String("url"))));
            if (rule == ItemFieldRule::CommandLine) {
                if (firstEntry)
                    entries.shared = fields;
                else
                    keepShared(entries.shared, fields);
            }
            firstEntry = false;
        }
        if (readSubFile && !entries.subFileSeen && file.contains(QLatin1String("sub-file"))) {
            entries.subFileSeen = true;
            entries.subFile = file.value(QLatin1String("sub-file")).toString().toStdString();
        }
    }
    // Directives count as such only in an extended playlist.
    if (withFieldLines)
        entries.text.prepend("#EXTM3U\n");
    return entries;
}

QByteArray playlistFileContent(const QByteArray &text)
{
    const int nul = text.indexOf('\0');
    return nul < 0 ? text : text.left(nul);
}

std::vector<std::string> playerArguments(const PlayerKind &player, const QString &playlistPath,
                                         const VlcOptions &options, const QString &subtitlePath,
                                         const ItemFields &shared)
{
    std::vector<std::string> arguments;
    arguments.push_back(player.playlistAsUrl ? QUrl::fromLocalFile(playlistPath).toString().toStdString()
                                             : playlistPath.toStdString());
    if (player.onTopArgument && options.videoOnTop)
        arguments.emplace_back(player.onTopArgument);
    if (player.fullscreenArgument && options.fullscreen)
        arguments.emplace_back(player.fullscreenArgument);
    if (player.subtitle && !subtitlePath.isEmpty())
        arguments.push_back((QStringLiteral("--sub-file=") + QDir::toNativeSeparators(subtitlePath)).toStdString());
#ifndef Q_OS_WIN
    // Not on Windows: the session launcher joins the arguments unquoted into a bounded line, where
    // a page's blank would start a word of its own.
    if (player.itemFields == ItemFieldRule::CommandLine) {
        const std::pair<const char *, const QString *> fields[] = {{"--force-media-title=", &shared.title},
                                                                   {"--start=", &shared.start},
                                                                   {"--referrer=", &shared.referrer},
                                                                   {"--user-agent=", &shared.userAgent}};
        for (const auto &[option, value] : fields) {
            if (!value->isEmpty())
                arguments.push_back(option + value->toStdString());
        }
    }
#else
    Q_UNUSED(shared);
#endif
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
    const VlcOptions options = player.onTopArgument ? readVlcOptions(params) : VlcOptions();
    const PlaylistEntries entries = readPlaylistEntries(params.value(QLatin1String("files")).toArray(),
                                                        player.subtitle, player.itemFields);
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
    prepared->arguments = playerArguments(player, prepared->playlistPath, options, subtitlePath, entries.shared);
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
