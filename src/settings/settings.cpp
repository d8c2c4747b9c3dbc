#include "settings/settings.h"

#include "base/servicelog.h"

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

// One origin, or several separated by commas (which QSettings reads as a list).
std::optional<QStringList> parseOrigins(const QVariant &value)
{
    QStringList texts;
    if (value.userType() == QMetaType::QString)
        texts = value.toString().split(QLatin1Char(','));
    else if (value.userType() == QMetaType::QStringList)
        texts = value.toStringList();
    else
        return std::nullopt;
    QStringList origins;
    for (const QString &text : texts) {
        if (text.trimmed().isEmpty())
            continue;
        const std::optional<QString> origin = normalisedOrigin(text);
        if (!origin)
            return std::nullopt;
        origins << *origin;
    }
    return origins;
}

// One of two words, exactly.
std::optional<bool> parseChoice(const QVariant &value, const char *whenFalse, const char *whenTrue)
{
    if (value.userType() != QMetaType::QString)
        return std::nullopt;
    const QString text = value.toString().trimmed();
    if (text == QLatin1String(whenFalse))
        return false;
    if (text == QLatin1String(whenTrue))
        return true;
    return std::nullopt;
}

std::optional<bool> parseListen(const QVariant &value)
{
    return parseChoice(value, "any", "loopback");
}

std::optional<bool> parseBool(const QVariant &value)
{
    return parseChoice(value, "false", "true");
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

template <auto Member, auto Parse>
bool applyNetwork(const QVariant &value, Settings &settings)
{
    auto parsed = Parse(value);
    if (!parsed)
        return false;
    settings.network.*Member = std::move(*parsed);
    return true;
}

struct Key {
    const char *name; // group/key, as QSettings names it
    Apply apply;
};

const Key kKeys[] = {
    {"players/vlc", &apply<&Settings::vlcProgram, &parseProgramPath>},
    {"players/potplayer", &apply<&Settings::potplayerProgram, &parseProgramPath>},
    {"players/mpv", &apply<&Settings::mpvProgram, &parseProgramPath>},
    {"network/allowed_origins", &applyNetwork<&NetworkSettings::allowedOrigins, &parseOrigins>},
    {"network/listen", &applyNetwork<&NetworkSettings::listenLoopbackOnly, &parseListen>},
    {"service/responsive", &applyNetwork<&NetworkSettings::responsive, &parseBool>},
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
// per connection. Called with g_storeMutex held.
void noteOnce(QStringList *lines, const QString &line)
{
    if (g_reported.insert(line).second)
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

std::optional<QString> normalisedOrigin(const QString &text)
{
    QString origin = text.trimmed().toLower();
    if (origin.endsWith(QLatin1Char('/')))
        origin.chop(1);
    const int separator = origin.indexOf(QLatin1String("://"));
    if (separator <= 0)
        return std::nullopt;
    const QStringRef scheme = origin.leftRef(separator);
    const QStringRef authority = origin.midRef(separator + 3);
    if (authority.isEmpty() || !scheme.at(0).isLetter())
        return std::nullopt;
    for (const QChar c : scheme) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char('+') || c == QLatin1Char('-') || c == QLatin1Char('.'))
            || c.unicode() >= 0x80)
            return std::nullopt;
    }
    // A serialised origin has no path, query, fragment or user; hosts go in ASCII (punycode).
    for (const QChar c : authority) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7F || QStringLiteral("/?#@\\").contains(c))
            return std::nullopt;
    }
    // A browser leaves out the scheme's own port.
    const QString defaultPort = scheme == QLatin1String("https") || scheme == QLatin1String("wss")
                                        ? QStringLiteral(":443")
                                        : QStringLiteral(":80");
    if ((scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ws")
         || scheme == QLatin1String("wss"))
        && origin.endsWith(defaultPort))
        origin.chop(defaultPort.size());
    return origin;
}

QString settingsLocation()
{
    return currentStore().location;
}

Settings readSettings(SettingsScope scope)
{
    Settings settings;
    QStringList lines;
    {
        const std::lock_guard<std::mutex> lock(g_storeMutex);
        readStore(currentStore(), scope, &settings, &lines);
    }
    // Outside the lock: the writer may take locks of its own.
    for (const QString &line : lines)
        writeServiceLog(line.toStdString());
    return settings;
}
