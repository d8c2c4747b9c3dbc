// Play's playlist text and player arguments, from a request as a page would send it. The
// playlist must hold one line per url and nothing else; the arguments must lead the player to
// the very file that was written.
#include "fuzzcheck.h"
#include "players/playertable.h"
#include "protocol/play.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <QTime>
#include <QUrl>

#include <cstddef>
#include <cstdint>

namespace {

QByteArray expectedLine(const QJsonValue &url)
{
    QByteArray line = url.toString().toUtf8();
    line.replace('\r', "%0D").replace('\n', "%0A");
    // A "#" after leading blanks and byte order marks would make the line a player directive.
    int start = 0;
    while (start < line.size() && (line.at(start) == ' ' || line.at(start) == '\t' || line.mid(start, 3) == "\xEF\xBB\xBF"))
        start += line.at(start) == ' ' || line.at(start) == '\t' ? 1 : 3;
    if (line.mid(start, 1) == "#")
        line.replace(start, 1, "%23");
    return line;
}

void checkEntries(const QJsonArray &files, bool readSubFile)
{
    const PlaylistEntries entries = readPlaylistEntries(files, readSubFile, ItemFieldRule::Ignored);

    QList<QByteArray> expected;
    bool subFileSeen = false;
    std::string subFile;
    for (const QJsonValue &element : files) {
        const QJsonObject file = element.toObject();
        if (file.contains(QLatin1String("url")))
            expected.append(expectedLine(file.value(QLatin1String("url"))));
        if (readSubFile && !subFileSeen && file.contains(QLatin1String("sub-file"))) {
            subFileSeen = true;
            subFile = file.value(QLatin1String("sub-file")).toString().toStdString();
        }
    }

    FUZZ_CHECK(!entries.text.contains('\r'), "a carriage return reached the playlist");
    FUZZ_CHECK(entries.text.isEmpty() || entries.text.endsWith('\n'), "the last playlist line is open");
    QList<QByteArray> lines = entries.text.split('\n');
    lines.removeLast(); // after the final line feed
    FUZZ_CHECK(lines == expected, "the playlist lines are not the urls one by one");
    FUZZ_CHECK(entries.subFileSeen == subFileSeen, "sub-file seen wrongly");
    FUZZ_CHECK(entries.subFile == subFile, "not the first sub-file");

    const QByteArray content = playlistFileContent(entries.text);
    FUZZ_CHECK(!content.contains('\0'), "the playlist file would hold a NUL");
    FUZZ_CHECK(entries.text.startsWith(content), "the playlist file is not the text's beginning");
}

void checkArguments(const VlcOptions &options, QString name, const QString &subtitle)
{
    // Real paths are a folder and a generated name: no NUL, no unpaired surrogate (which the
    // JSON parser makes of some invalid input). The name part is what varies here.
    name = QString::fromUtf8(name.toUtf8());
    name.remove(QChar(0));
    const QString playlist = QStringLiteral("/var/lib/Mirvale/playlist/") + name + QStringLiteral(".list");

    const std::vector<std::string> other = playerArguments(*findPlayerKind("potplayer"), playlist, options, subtitle);
    FUZZ_CHECK(other.size() == 1 && other[0] == playlist.toStdString(), "the playlist is not PotPlayer's argument");

    const std::vector<std::string> vlc = playerArguments(*findPlayerKind("vlc"), playlist, options, subtitle);
    const std::size_t count = 1 + options.videoOnTop + options.fullscreen + !subtitle.isEmpty();
    FUZZ_CHECK(vlc.size() == count, "VLC's argument count");
    const QUrl url(QString::fromStdString(vlc[0]));
    FUZZ_CHECK(url.isValid() && url.isLocalFile(), "VLC's playlist argument is no file url");
    FUZZ_CHECK(url.toLocalFile() == playlist, "VLC's playlist url names another file");
    if (!subtitle.isEmpty())
        FUZZ_CHECK(vlc.back() == "--sub-file=" + subtitle.toStdString(), "the subtitle argument");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // QUrl builds caches of its own at first use; made here, they are no leak of an input.
    (void)playerArguments(*findPlayerKind("vlc"), QStringLiteral("/tmp/a b.list"), VlcOptions(), QStringLiteral("/tmp/a.srt"));
    (void)QUrl(QStringLiteral("file:///tmp/a%20b.list")).toLocalFile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<int>(size));

    // Any text may come as a url.
    const QByteArray line = playlistLine(QJsonValue(QString::fromUtf8(bytes)));
    FUZZ_CHECK(line.endsWith('\n') && line.count('\n') == 1 && !line.contains('\r'), "a url is not one line");

    const QJsonObject request = QJsonDocument::fromJson(bytes).object();
    const QJsonObject params = request.value(QLatin1String("params")).toObject();
    const QJsonArray files = params.value(QLatin1String("files")).toArray();
    checkEntries(files, true);
    checkEntries(files, false);

    const VlcOptions options = readVlcOptions(params);
    const QString name = files.isEmpty() ? QString::fromUtf8(bytes.left(64))
                                         : files.first().toObject().value(QLatin1String("url")).toString();
    const QString subtitle = files.isEmpty() ? QString()
                                             : files.first().toObject().value(QLatin1String("sub-file")).toString();
    checkArguments(options, name, subtitle);

    // Playlist names: nine digits of the time, then "-n" for the n-th retry.
    if (size >= 4) {
        const QTime time(data[0] % 24, data[1] % 60, data[2] % 60, (data[3] * 4) % 1000);
        const QString timeName = playlistTimeName(time);
        FUZZ_CHECK(timeName.size() == 9 && timeName.toULongLong() == 0 + ((data[0] % 24) * 10000000ull
                   + (data[1] % 60) * 100000ull + (data[2] % 60) * 1000ull + (data[3] * 4) % 1000),
                   "the time name");
        FUZZ_CHECK(playlistCandidateName(timeName, 0) == timeName, "the first name has a suffix");
        FUZZ_CHECK(playlistCandidateName(timeName, data[0] + 1) == timeName + QLatin1Char('-') + QString::number(data[0] + 1),
                   "a retry name");
    }
    return 0;
}
