#include "players/playertable.h"

#include "players/registry.h"

#include <QFile>

#include <mutex>

namespace {

const PlayerDiscovery kVlcDiscovery = {
    "InstallDir", "SOFTWARE\\VideoLAN\\VLC", "SOFTWARE\\WOW6432Node\\VideoLAN\\VLC", "\\vlc.exe",
    "C:/Program Files/VideoLAN/VLC/vlc.exe", "C:/Program Files (x86)/VideoLAN/VLC/vlc.exe",
    "C:/Program Files (x86)/VideoLAN/VLC/vlc.exe"};

const PlayerDiscovery kPotPlayerDiscovery = {
    "ProgramPath", "SOFTWARE\\DAUM\\PotPlayer64", "SOFTWARE\\WOW6432Node\\DAUM\\PotPlayer", "",
    "C:/Program Files/DAUM/PotPlayer/PotPlayerMini64.exe",
    "C:/Program Files (x86)/DAUM/PotPlayer/PotPlayerMini.exe",
    "C:/Program Files/DAUM/PotPlayer/PotPlayerMini64.exe"};

// Shared by the main thread and every agent's worker thread; guarded by g_playerPathMutex.
std::map<std::string, QString> g_mapPlayerPath;
// Held for each swap of a refreshed table and for each lookup.
std::mutex g_playerPathMutex;

QString discoverPath(const PlayerDiscovery &player)
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

} // namespace

const std::vector<PlayerKind> &playerKinds()
{
    // Built on first use, after Qt's statics; read-only afterwards, from any thread.
    static const std::vector<PlayerKind> s_kinds = {
        {"vlc", "VLC", ".list", {"fullscreen", "video-on-top", "sub-file"}, true, true, true,
         &kVlcDiscovery},
        {"potplayer", "PotPlayer", ".m3u", {}, false, false, false, &kPotPlayerDiscovery},
        {"elmedia", "Elmedia", ".m3u", {}, false, false, false, nullptr},
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
    // The registry is read before the lock, so lookups wait only for the swap.
    std::map<std::string, QString> fresh;
    for (const PlayerKind &kind : playerKinds()) {
        if (kind.discovery)
            fresh[kind.key] = discoverPath(*kind.discovery);
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
