#include "settings/settings.h"

#include <QDir>
#include <QSettings>
#include <QStringList>
#include <QVariant>

#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace {

// ---- Parsers: the value as it should be stored, or nothing when it is bad.

// Empty means unset. QSettings reads an unquoted comma as a list, which is not a path.
std::optional<QString> parseProgramPath(const QVariant &value)
{
    if (value.userType() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString();
    if (text.isEmpty())
        return text;
    if (!QDir::isAbsolutePath(text) || text.contains(QChar(0)))
        return std::nullopt;
    return text;
}

// ---- The keys: one row each. The default is the member's initial value in Settings.

using Apply = bool (*)(const QVariant &value, Settings &settings);

template <auto Member, auto Parse>
bool apply(const QVariant &value, Settings &settings)
{
    auto parsed = Parse(value);
    if (!parsed)
        return false;
    settings.*Member = std::move(*parsed);
    return true;
}

struct Key {
    const char *name; // group/key, as QSettings names it
    Apply apply;
};

const Key kKeys[] = {
    {"players/vlc", &apply<&Settings::vlcProgram, &parseProgramPath>},
    {"players/potplayer", &apply<&Settings::potplayerProgram, &parseProgramPath>},
};

const char kPlayersGroup[] = "players/";

#ifdef Q_OS_WIN
// Registry names compare without case.
constexpr Qt::CaseSensitivity kKeyCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kKeyCase = Qt::CaseSensitive;
#endif

const Key *findKey(const QString &name)
{
    for (const Key &key : kKeys) {
        if (name.compare(QLatin1String(key.name), kKeyCase) == 0)
            return &key;
    }
    return nullptr;
}

bool inScope(const QString &name, SettingsScope scope)
{
    return scope == SettingsScope::All || name.startsWith(QLatin1String(kPlayersGroup), kKeyCase);
}

struct Store {
    QString location;
    QSettings::Format format;
};

Store currentStore()
{
    const QString configured = qEnvironmentVariable("MIRVALE_CONFIG");
    if (!configured.isEmpty())
        return {configured, QSettings::IniFormat};
#ifdef Q_OS_WIN
    return {QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessor\\Mirvale"), QSettings::NativeFormat};
#else
    return {QStringLiteral("/etc/mirvale/mirvale.conf"), QSettings::IniFormat};
#endif
}

// Reads of the store, and the lines already written. Any reading thread; guarded by
// g_storeMutex. QSettings shares a cache of files between its objects behind Qt's own lock;
// one lock of ours keeps every read ordered where the thread checkers can see it too.
std::mutex g_storeMutex;
std::set<QString> g_reported;

// The player table re-reads the store at every refresh: a problem is worth one line, not one
// per connection. Called with g_storeMutex held; lines is null when nobody logs.
void noteOnce(QStringList *lines, const QString &line)
{
    if (lines && g_reported.insert(line).second)
        *lines << line;
}

void readStore(const Store &store, SettingsScope scope, Settings *settings, QStringList *lines)
{
    const QString where = QStringLiteral(" store:") + store.location;
    const QSettings source(store.location, store.format);
    if (source.status() == QSettings::AccessError) {
        noteOnce(lines, QStringLiteral("readSettings unreadable") + where);
        return;
    }
    if (source.status() == QSettings::FormatError) {
        noteOnce(lines, QStringLiteral("readSettings format error") + where);
        return;
    }
    for (const QString &name : source.allKeys()) {
        if (!inScope(name, scope))
            continue;
        const Key *key = findKey(name);
        if (!key)
            noteOnce(lines, QStringLiteral("readSettings unknown key:") + name + where);
        else if (!key->apply(source.value(name), *settings))
            noteOnce(lines, QStringLiteral("readSettings bad value:") + name + where);
    }
}

} // namespace

QString settingsLocation()
{
    return currentStore().location;
}

Settings readSettings(const SettingsLog &log, SettingsScope scope)
{
    Settings settings;
    QStringList lines;
    {
        const std::lock_guard<std::mutex> lock(g_storeMutex);
        readStore(currentStore(), scope, &settings, log ? &lines : nullptr);
    }
    // Outside the lock: the writer may take locks of its own.
    for (const QString &line : lines)
        log(line);
    return settings;
}
