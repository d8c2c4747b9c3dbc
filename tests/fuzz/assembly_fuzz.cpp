// Message assembly with the request envelope behind it, as an agent runs them: pieces and
// message ends of four connections in any order, each complete request handed to handleRequest
// with a player slot that records instead of starting and ending players, each reply checked.
//
// Input: a run of operations, each a header byte and its payload.
//   header & 0x03  the connection
//   header & 0x04  the piece ends its WebSocket message
//   header >= 0xF8, then 0xF1 and a byte: a filler piece of 384 KiB of that byte (three reach
//                  the 1 MiB bound; four per input at most)
//   otherwise      the next byte is a length, and that many bytes follow (fewer when the
//                  input ends)
#include "agent/messageassembler.h"
#include "fuzzcheck.h"
#include "players/playerslot.h"
#include "players/playertable.h"
#include "players/workingfolders.h"
#include "protocol/envelope.h"
#include "protocol/unsupport.h"
#include "subtitlerecorder.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

constexpr std::size_t kConnections = 4;
// Above this the missed-document check would make each piece cost a whole parse.
constexpr std::size_t kRecheckLimit = 64 * 1024;

struct Environment {
    QTemporaryDir dir;
    QString vlc;
    QString potplayer;
};

Environment *g_environment = nullptr;

void touch(const QString &path)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly), "cannot create a fake player");
}

// A public folder and a registry of its own, with both players present as empty files.
void setUpEnvironment()
{
    g_environment = new Environment;
    FUZZ_CHECK(g_environment->dir.isValid(), "no temporary folder");
    const QString root = g_environment->dir.path();
    QDir().mkpath(root + QStringLiteral("/public"));
    QDir().mkpath(root + QStringLiteral("/players"));
    g_environment->vlc = root + QStringLiteral("/players/vlc\\vlc.exe");
    g_environment->potplayer = root + QStringLiteral("/players/PotPlayerMini64.exe");
    touch(g_environment->vlc);
    touch(g_environment->potplayer);

    QFile reg(root + QStringLiteral("/players.reg"));
    FUZZ_CHECK(reg.open(QIODevice::WriteOnly), "cannot write the registry file");
    reg.write("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\n\"InstallDir\"=\"");
    reg.write((root + QStringLiteral("/players/vlc")).toUtf8());
    reg.write("\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\n\"ProgramPath\"=\"");
    reg.write(g_environment->potplayer.toUtf8());
    reg.write("\"\n");
    reg.close();

    qputenv("MIRVALE_PUBLIC_DIR", (root + QStringLiteral("/public")).toUtf8());
    qputenv("MIRVALE_REGISTRY", reg.fileName().toUtf8());
    clearWorkingFolders();
    refreshPlayerPaths();
    FUZZ_CHECK(isPlayerInstalled("vlc") && isPlayerInstalled("potplayer"), "the fake players are not found");
}

struct Launch {
    int launches = 0;
    int stops = 0;
    std::string program;
    std::vector<std::string> arguments;
};

// What the slot was asked for during the current request.
Launch g_launch;

bool recordLaunch(std::string program, std::vector<std::string> arguments, ProcessIdentity *launched)
{
    ++g_launch.launches;
    g_launch.program = std::move(program);
    g_launch.arguments = std::move(arguments);
    *launched = {4242, 1};
    return g_launch.program.size() % 3 != 0; // some starts fail
}

void recordStop(long long, long long)
{
    ++g_launch.stops;
}

// The parser's own verdict on a whole text, with repeated names screened out first (the parser
// would leak their values).
bool isCompleteJson(const std::string &text)
{
    const QByteArray utf8 = QString::fromUtf8(text.c_str()).toUtf8();
    JsonScanner names;
    names.feed(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    return !names.hasRepeatedName() && !QJsonDocument::fromJson(utf8).isNull();
}

// Whether a url of the request holds a NUL: the playlist file ends there, mid-line.
bool urlHoldsNul(const QJsonObject &request)
{
    const QJsonArray files = request.value(QLatin1String("params")).toObject().value(QLatin1String("files")).toArray();
    for (const QJsonValue &file : files) {
        if (file.toObject().value(QLatin1String("url")).toString().contains(QChar(0)))
            return true;
    }
    return false;
}

void checkLaunch(const Launch &launch, const std::string &reply, bool cutAtNul)
{
    const QString program = QString::fromStdString(launch.program);
    FUZZ_CHECK(program == g_environment->vlc || program == g_environment->potplayer, "an unknown program started");
    FUZZ_CHECK(!launch.arguments.empty(), "a player started without its playlist");

    const bool vlc = program == g_environment->vlc;
    const QString playlist = vlc ? QUrl(QString::fromStdString(launch.arguments[0])).toLocalFile()
                                 : QString::fromStdString(launch.arguments[0]);
    FUZZ_CHECK(QFileInfo(playlist).absolutePath() == playlistFolder(), "the playlist is outside its folder");
    QFile file(playlist);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), "the playlist handed to the player does not exist");
    const QByteArray content = file.readAll();
    FUZZ_CHECK((cutAtNul || (!content.isEmpty() && content.endsWith('\n'))) && !content.contains('\0')
                       && !content.contains('\r'),
               "the playlist file is not whole lines");

    const SubtitleCall &subtitle = lastSubtitleCall();
    bool subtitleArgument = false;
    for (const std::string &argument : launch.arguments)
        subtitleArgument = subtitleArgument || argument.rfind("--sub-file=", 0) == 0;
    FUZZ_CHECK(subtitleArgument == (subtitle.called && subtitle.result), "--sub-file= without a downloaded subtitle");
    if (subtitle.called) {
        FUZZ_CHECK(vlc, "a subtitle fetched for another player than VLC");
        const QFileInfo srt(QString::fromStdString(subtitle.filePath));
        FUZZ_CHECK(srt.absolutePath() == subtitleFolder() && srt.completeBaseName() == QFileInfo(playlist).completeBaseName(),
                   "the subtitle is not named after its playlist");
        FUZZ_CHECK(reply.find("\"download_subfile_result\":") != std::string::npos, "no download result in the reply");
    }
}

void checkReply(const QJsonObject &parsed, const std::string &reply, const Launch &launch)
{
    FUZZ_CHECK(!reply.empty(), "an empty reply");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(reply), &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isObject(), "a reply that is no JSON object");
    const QJsonObject object = document.object();

    const QString action = parsed.value(QLatin1String("action")).toString();
    if (object.contains(QLatin1String("Text"))) {
        FUZZ_CHECK(reply == R"({"Text":"Unsupport","return":-5})", "a malformed Unsupport reply");
        FUZZ_CHECK(launch.launches == 0, "a player started for an unsupported request");
    } else if (action == QLatin1String("Getinfo")) {
        FUZZ_CHECK(object.value(QLatin1String("action")) == QLatin1String("Getinfo"), "Getinfo answered as something else");
        FUZZ_CHECK(!object.contains(QLatin1String("return")), "Getinfo with a result code");
    } else {
        FUZZ_CHECK(action == QLatin1String("Play") && parsed.contains(QLatin1String("params")), "an action answered that is none");
        const int code = object.value(QLatin1String("return")).toInt(1);
        FUZZ_CHECK(code <= 0 && code >= -6 && code != -5, "a Play result code out of range");
        FUZZ_CHECK(launch.launches == (code == 0 || code == -6 ? 1 : 0), "launch count does not match the code");
        FUZZ_CHECK(launch.stops == (code == -1 ? 0 : 1), "the last player was not stopped exactly once");
        if (launch.launches)
            checkLaunch(launch, reply, urlHoldsNul(parsed));
    }
    if (!object.contains(QLatin1String("Text")))
        FUZZ_CHECK(object.value(QLatin1String("id")) == parsed.value(QLatin1String("id")), "the id is not echoed");
}

struct Connection {
    MessageAssembler assembler;
    std::string model; // every byte contributed since the last outcome, up to past the bound
    std::size_t modelSize = 0; // all of them
};

bool g_playHappened = false;

void deliver(Connection &connection, const char *data, std::size_t size, bool end)
{
    const void *nul = std::memchr(data, '\0', size);
    const std::size_t contributed = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - data) : size;
    connection.modelSize += contributed;
    if (connection.model.size() <= MessageAssembler::kMaxTextBytes)
        connection.model.append(data, std::min(contributed, MessageAssembler::kMaxTextBytes + 1));

    const std::optional<MessageAssembler::Outcome> outcome = connection.assembler.feed(data, size, end);
    FUZZ_CHECK(connection.assembler.pendingBytes() <= MessageAssembler::kMaxTextBytes, "the bound was passed");
    if (!outcome) {
        if (connection.modelSize <= kRecheckLimit && connection.assembler.pendingBytes() == connection.modelSize)
            FUZZ_CHECK(!isCompleteJson(connection.model), "a complete document was held back");
        return;
    }

    // A slot with an earlier player of its own, so that every stop shows.
    PlayerSlot slot(&recordStop);
    slot.setLaunchCallback(&recordLaunch);
    slot.launch("earlier player", {});
    g_launch = Launch();
    PlayFiles files;
    const PlayContext context{slot, files, nullptr};
    lastSubtitleCall() = SubtitleCall();

    if (outcome->kind == MessageAssembler::Outcome::Kind::Unsupported) {
        FUZZ_CHECK(end, "Unsupport before the message ended");
        FUZZ_CHECK(outcome->text.empty(), "a discarded text came out");
        FUZZ_CHECK(connection.modelSize > MessageAssembler::kMaxTextBytes || !isCompleteJson(connection.model),
                   "a complete document was discarded");
        FUZZ_CHECK(jsonToString(replyUnsupport()) == R"({"Text":"Unsupport","return":-5})", "the Unsupport reply");
    } else {
        FUZZ_CHECK(connection.modelSize == connection.model.size() && outcome->text == connection.model,
                   "the text handed over is not what arrived");
        FUZZ_CHECK(isCompleteJson(outcome->text), "an incomplete text handed over");
        FUZZ_CHECK(outcome->request == QJsonDocument::fromJson(QString::fromUtf8(outcome->text.c_str()).toUtf8()).object(),
                   "the request handed over is not the parse of its text");
        const std::string reply = handleRequest(outcome->request, context);
        checkReply(outcome->request, reply, g_launch);
        g_playHappened = g_playHappened || g_launch.stops > 0;
    }
    connection.model.clear();
    connection.modelSize = 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setUpEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::array<Connection, kConnections> connections;
    std::string filler;
    int fillers = 0;
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t header = data[at++];
        Connection &connection = connections[header & 0x03];
        const bool end = header & 0x04;
        // Rare on purpose: a filler costs as much as thousands of small pieces.
        if (header >= 0xF8 && at + 1 < size && data[at] == 0xF1 && fillers++ < 4) {
            const char byte = static_cast<char>(data[at + 1]);
            at += 2;
            filler.assign(MessageAssembler::kMaxTextBytes / 8 * 3, byte);
            deliver(connection, filler.data(), filler.size(), end);
            continue;
        }
        const std::size_t length = at < size ? data[at++] : 0;
        const std::size_t piece = std::min(length, size - at);
        deliver(connection, reinterpret_cast<const char *>(data + at), piece, end);
        at += piece;
    }
    if (g_playHappened) {
        clearWorkingFolders();
        g_playHappened = false;
    }
    return 0;
}
