#include "fakeplayers.h"

#include "eventwait.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace e2e {

namespace {

constexpr auto kOpenToAll = QFileDevice::Permissions(0x7777);
constexpr auto kReadableByAll = QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                | QFileDevice::ReadGroup | QFileDevice::ReadOther;
constexpr auto kExecutableByAll = kReadableByAll | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                  | QFileDevice::ExeOther;

QString regEscape(QString text)
{
    return text.replace('\\', QStringLiteral("\\\\")).replace('"', QStringLiteral("\\\""));
}

bool writeFile(const QString &path, const QByteArray &content, QFileDevice::Permissions permissions)
{
    // Replaced whole (a new file renamed over the old one), so a concurrent reader never
    // sees half of it.
    const QString temporary = path + QStringLiteral(".new");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    QFile::setPermissions(temporary, permissions);
    return ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0;
}

} // namespace

RegFile &RegFile::key(const QString &subKey)
{
    if (m_lines.size() > 2)
        m_lines << QString();
    m_lines << QStringLiteral("[HKEY_LOCAL_MACHINE\\%1]").arg(subKey);
    return *this;
}

RegFile &RegFile::value(const QString &name, const QString &text)
{
    m_lines << QStringLiteral("\"%1\"=\"%2\"").arg(regEscape(name), regEscape(text));
    return *this;
}

RegFile &RegFile::rawLine(const QString &line)
{
    m_lines << line;
    return *this;
}

QByteArray RegFile::text() const
{
    return (m_lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
}

PlayerFixture::PlayerFixture(const QString &fakePlayerScript)
{
    if (!m_dir.isValid())
        return;
    const QByteArray script = readAll(fakePlayerScript);
    if (script.isEmpty())
        return;
    QDir root(m_dir.path());
    m_valid = root.mkpath(QStringLiteral("players/records")) && root.mkpath(QStringLiteral("public"))
              && QFile::setPermissions(m_dir.path(), kExecutableByAll)
              && QFile::setPermissions(m_dir.filePath(QStringLiteral("players")), kExecutableByAll)
              && QFile::setPermissions(recordDir(), kOpenToAll)
              && QFile::setPermissions(publicDir(), kOpenToAll)
              && writeFile(vlcProgram(), script, kExecutableByAll)
              && writeFile(potplayerProgram(), script, kExecutableByAll);
    writeRegistry(Installed::Both);
}

void PlayerFixture::setLinger(bool linger)
{
    const QString marker = m_dir.filePath(QStringLiteral("players/linger"));
    if (linger)
        writeFile(marker, QByteArray(), kReadableByAll);
    else
        QFile::remove(marker);
}

void PlayerFixture::writeRegistry(Installed installed)
{
    RegFile reg;
    if (installed == Installed::Vlc || installed == Installed::Both)
        reg.key(QStringLiteral("SOFTWARE\\VideoLAN\\VLC")).value(QStringLiteral("InstallDir"), vlcInstallDir());
    if (installed == Installed::PotPlayer || installed == Installed::Both)
        reg.key(QStringLiteral("SOFTWARE\\DAUM\\PotPlayer64"))
            .value(QStringLiteral("ProgramPath"), potplayerProgram());
    writeRegistryText(reg.text());
}

void PlayerFixture::writeRegistryText(const QByteArray &text)
{
    writeFile(registryFile(), text, kReadableByAll);
}

RecordWatcher::RecordWatcher(const QString &recordDir)
    : m_dir(recordDir)
{
    m_watcher.addPath(recordDir);
    // Records that exist already belong to earlier starts.
    for (const QString &name : untaken())
        m_taken.insert(name);
}

QStringList RecordWatcher::untaken()
{
    QDir dir(m_dir);
    QStringList result;
    const QFileInfoList entries =
        dir.entryInfoList({QStringLiteral("*.rec")}, QDir::Files, QDir::Time | QDir::Reversed);
    for (const QFileInfo &entry : entries) {
        if (!m_taken.contains(entry.fileName()))
            result << entry.fileName();
    }
    return result;
}

std::optional<PlayerRecord> RecordWatcher::next(int timeoutMs)
{
    QStringList found = untaken();
    if (found.isEmpty()) {
        QEventLoop loop;
        connect(&m_watcher, &QFileSystemWatcher::directoryChanged, &loop, [&] {
            found = untaken();
            if (!found.isEmpty())
                loop.quit();
        });
        QTimer::singleShot(scaledTimeout(timeoutMs), &loop, &QEventLoop::quit);
        loop.exec();
        disconnect(&m_watcher, nullptr, &loop, nullptr);
        found = untaken();
    }
    if (found.isEmpty())
        return std::nullopt;
    m_taken.insert(found.first());
    return readPlayerRecord(m_dir + '/' + found.first());
}

bool RecordWatcher::expectNone(int ms)
{
    waitUntil([this] { return !untaken().isEmpty(); }, ms, 50);
    return untaken().isEmpty();
}

std::optional<PlayerRecord> readPlayerRecord(const QString &file)
{
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly))
        return std::nullopt;
    PlayerRecord record;
    record.file = file;
    int argc = -1;
    for (const QByteArray &rawLine : input.readAll().split('\n')) {
        const QString line = QString::fromUtf8(rawLine);
        const int equals = line.indexOf('=');
        if (equals < 0)
            continue;
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 1);
        if (key == QLatin1String("pid"))
            record.pid = value.toLongLong();
        else if (key == QLatin1String("uid"))
            record.uid = value.toUInt();
        else if (key == QLatin1String("program"))
            record.program = value;
        else if (key == QLatin1String("argc"))
            argc = value.toInt();
        else if (key == QLatin1String("arg"))
            record.arguments << value;
        else if (key.startsWith(QLatin1String("env.")))
            record.environment.insert(key.mid(4), value);
    }
    if (argc != record.arguments.size())
        return std::nullopt;
    return record;
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QByteArray readAll(const QString &file)
{
    QFile input(file);
    return input.open(QIODevice::ReadOnly) ? input.readAll() : QByteArray();
}

} // namespace e2e
