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

// Lines already written; any reading thread adds to it, guarded by g_reportedMutex.
std::set<QString> g_reported;
std::mutex g_reportedMutex;

// The player table re-reads the store at every refresh: a problem is worth one line, not one
// per connection.
void reportOnce(const SettingsLog &log, const QString &line)
{
    if (!log)
        return;
    {
        const std::lock_guard<std::mutex> lock(g_reportedMutex);
        if (!g_reported.insert(line).second)
            return;
    }
    log(line);
}

} // namespace

QString settingsLocation()
{
    return currentStore().location;
}

Settings readSettings(const SettingsLog &log, SettingsScope scope)
{
    Settings settings;
    const Store store = currentStore();
    const QString where = QStringLiteral(" store:") + store.location;

    // Each call has its own QSettings: reentrant, so the agent threads never share one.
    const QSettings source(store.location, store.format);
    if (source.status() == QSettings::AccessError) {
        reportOnce(log, QStringLiteral("readSettings unreadable") + where);
        return settings;
    }
    if (source.status() == QSettings::FormatError) {
        reportOnce(log, QStringLiteral("readSettings format error") + where);
        return settings;
    }

    for (const QString &name : source.allKeys()) {
        if (!inScope(name, scope))
            continue;
        const Key *key = findKey(name);
        if (!key)
            reportOnce(log, QStringLiteral("readSettings unknown key:") + name + where);
        else if (!key->apply(source.value(name), settings))
            reportOnce(log, QStringLiteral("readSettings bad value:") + name + where);
    }
    return settings;
}
