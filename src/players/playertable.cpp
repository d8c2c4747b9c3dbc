#include "players/playertable.h"

#include "players/registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <mutex>
#include <optional>

namespace {

const PlayerDiscovery kVlcDiscovery = {
    "InstallDir", "SOFTWARE\\VideoLAN\\VLC", "SOFTWARE\\WOW6432Node\\VideoLAN\\VLC", "\\vlc.exe",
    "C:/Program Files/VideoLAN/VLC/vlc.exe", "C:/Program Files (x86)/VideoLAN/VLC/vlc.exe",
    "C:/Program Files (x86)/VideoLAN/VLC/vlc.exe",
    &Settings::vlcProgram, "vlc",
    {"/snap/bin/vlc", "/var/lib/flatpak/exports/bin/org.videolan.VLC"}};

const PlayerDiscovery kPotPlayerDiscovery = {
    "ProgramPath", "SOFTWARE\\DAUM\\PotPlayer64", "SOFTWARE\\WOW6432Node\\DAUM\\PotPlayer", "",
    "C:/Program Files/DAUM/PotPlayer/PotPlayerMini64.exe",
    "C:/Program Files (x86)/DAUM/PotPlayer/PotPlayerMini.exe",
    "C:/Program Files/DAUM/PotPlayer/PotPlayerMini64.exe",
    // No Linux build: only a configured program (a wrapper that runs it under Wine, say).
    &Settings::potplayerProgram, nullptr, {}};

const PlayerDiscovery kMpvDiscovery = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    &Settings::mpvProgram, "mpv",
    {"/snap/bin/mpv", "/var/lib/flatpak/exports/bin/io.mpv.Mpv"}};

// Shared by the main thread and every agent's worker thread; guarded by g_playerPathMutex.
std::map<std::string, QString> g_mapPlayerPath;
// Held for each swap of a refreshed table and for each lookup.
std::mutex g_playerPathMutex;

QString registryPath(const PlayerDiscovery &player)
{
    RegistryString value = readRegistryString(player.key64, player.valueName);
    const char *fallback = player.default64;
    if (value.outcome == RegistryOutcome::KeyAbsent) {
        value = readRegistryString(player.key32, player.valueName);
        fallback = value.outcome == RegistryOutcome::KeyAbsent ? player.defaultNone
                                                                : player.default32;
    }
    if (value.outcome == RegistryOutcome::Found)
        return QString::fromStdString(value.text) + QLatin1String(player.appended);
    return QString::fromLatin1(fallback);
}

#ifndef Q_OS_WIN
bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}
#endif

// One refresh's settings, read at most once and only when a player's search needs them.
QString discoverPath(const PlayerDiscovery &player, std::optional<Settings> *settings)
{
    const auto configured = [&] {
        if (!*settings)
            *settings = readSettings(SettingsScope::Players);
        return (**settings).*player.configured;
    };
#ifndef Q_OS_WIN
    // The registry stand-in keeps the Windows rules, so its fixtures answer as on Windows.
    if (qEnvironmentVariableIsEmpty("MIRVALE_REGISTRY")) {
        const QString found = findDesktopProgram(player, configured(), qEnvironmentVariable("PATH"),
                                                 &isExecutableFile);
        if (!found.isEmpty() || !player.key64)
            return found;
    }
#endif
    return player.key64 ? registryPath(player) : configured();
}

} // namespace

QString findDesktopProgram(const PlayerDiscovery &discovery, const QString &configured,
                           const QString &searchPath,
                           const std::function<bool(const QString &path)> &isExecutable)
{
    if (!configured.isEmpty() && isExecutable(configured))
        return configured;
    if (discovery.command) {
        // Empty and relative entries name the current folder: never a program a service runs.
        for (const QString &folder : searchPath.split(QLatin1Char(':'))) {
            if (!QDir::isAbsolutePath(folder))
                continue;
            const QString candidate = QDir(folder).filePath(QLatin1String(discovery.command));
            if (isExecutable(candidate))
                return candidate;
        }
    }
    for (const char *location : discovery.locations) {
        if (isExecutable(QLatin1String(location)))
            return QString::fromLatin1(location);
    }
    return {};
}

const std::vector<PlayerKind> &playerKinds()
{
    // Built on first use, after Qt's statics; read-only afterwards, from any thread.
    static const std::vector<PlayerKind> s_kinds = {
        {"vlc", "VLC", ".list", {"fullscreen", "video-on-top", "sub-file"}, true, "--video-on-top",
         "--fullscreen", true, ItemFieldRule::PlaylistLines, false, &kVlcDiscovery},
        {"potplayer", "PotPlayer", ".m3u", {}, false, nullptr, nullptr, false, ItemFieldRule::TitleLine,
         false, &kPotPlayerDiscovery},
        {"elmedia", "Elmedia", ".m3u", {}, false, nullptr, nullptr, false, ItemFieldRule::Ignored, false,
         nullptr},
        // Its playlist documents no per-entry lines; its command-line options hold for every entry.
        {"mpv", "mpv", ".m3u", {"fullscreen", "video-on-top", "sub-file"}, false, "--ontop", "--fullscreen",
         true, ItemFieldRule::CommandLine, true, &kMpvDiscovery},
    };
    return s_kinds;
}

const PlayerKind *findPlayerKind(const QString &key)
{
    for (const PlayerKind &kind : playerKinds()) {
        if (key == QLatin1String(kind.key))
            return &kind;
    }
    return nullptr;
}

void refreshPlayerPaths()
{
    // Registry, settings and folders are read before the lock, so lookups wait only for the swap.
    std::map<std::string, QString> fresh;
    std::optional<Settings> settings;
    for (const PlayerKind &kind : playerKinds()) {
        if (!kind.discovery)
            continue;
        const QString path = discoverPath(*kind.discovery, &settings);
        if (!path.isEmpty())
            fresh[kind.key] = path;
    }

    const std::lock_guard<std::mutex> lock(g_playerPathMutex);
    g_mapPlayerPath.swap(fresh);
}

std::string getPlayerPath(std::string key)
{
    const std::lock_guard<std::mutex> lock(g_playerPathMutex);
    const auto entry = g_mapPlayerPath.find(key);
    return entry == g_mapPlayerPath.end() ? std::string() : entry->second.toStdString();
}

bool isPlayerInstalled(std::string key)
{
    const QString path = QString::fromStdString(getPlayerPath(std::move(key)));
    return !path.isEmpty() && QFile::exists(path);
}

std::map<std::string, QString> playerPathSnapshot()
{
    const std::lock_guard<std::mutex> lock(g_playerPathMutex);
    return g_mapPlayerPath;
}
