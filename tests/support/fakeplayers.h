#pragma once

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace e2e {

// A registry export (".reg" text) with REG_SZ values, as the service reads it on Linux.
class RegFile
{
public:
    RegFile &key(const QString &subKey); // below HKEY_LOCAL_MACHINE, backslashes
    RegFile &value(const QString &name, const QString &text);
    RegFile &rawLine(const QString &line); // any other value form, e.g. "InstallDir"=hex(2):00
    QByteArray text() const;

private:
    QStringList m_lines{QStringLiteral("Windows Registry Editor Version 5.00"), QString()};
};

enum class Installed { None, Vlc, PotPlayer, Both };

// A temporary tree with a public folder, a registry file, and fake players that record how
// they were started. Folders are open to every user, so a service running as "nobody" and
// the players it starts can write into them.
//
//   <root>/public/           MIRVALE_PUBLIC_DIR
//   <root>/players.reg       MIRVALE_REGISTRY
//   <root>/players/vlc\vlc.exe            VLC: InstallDir "<root>/players/vlc" + "\vlc.exe"
//   <root>/players/PotPlayerMini64.exe    PotPlayer: ProgramPath, used unchanged
//   <root>/players/records/<pid>.rec      one record per start
//   <root>/players/linger                 when present, players stay up ("sleep 300")
class PlayerFixture
{
public:
    explicit PlayerFixture(const QString &fakePlayerScript);
    bool isValid() const { return m_valid; }

    QString root() const { return m_dir.path(); }
    QString publicDir() const { return m_dir.filePath(QStringLiteral("public")); }
    QString playlistDir() const { return publicDir() + QStringLiteral("/Mirvale/playlist"); }
    QString subtitleDir() const { return publicDir() + QStringLiteral("/Mirvale/subfiles"); }
    QString registryFile() const { return m_dir.filePath(QStringLiteral("players.reg")); }
    QString recordDir() const { return m_dir.filePath(QStringLiteral("players/records")); }
    QString vlcInstallDir() const { return m_dir.filePath(QStringLiteral("players/vlc")); }
    QString vlcProgram() const { return vlcInstallDir() + QStringLiteral("\\vlc.exe"); }
    QString potplayerProgram() const { return m_dir.filePath(QStringLiteral("players/PotPlayerMini64.exe")); }

    void setLinger(bool linger);
    void writeRegistry(Installed installed);
    void writeRegistryText(const QByteArray &text);

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

// What a fake player wrote about its start.
struct PlayerRecord {
    qint64 pid = 0;
    uint uid = 0;
    QString program;
    QStringList arguments;
    QMap<QString, QString> environment;
    QString file;
};

// Waits for the fake players' records (QFileSystemWatcher on the record folder).
class RecordWatcher : public QObject
{
    Q_OBJECT
public:
    explicit RecordWatcher(const QString &recordDir);

    // The oldest record not taken yet; nullopt when none appears within timeoutMs.
    std::optional<PlayerRecord> next(int timeoutMs = 10000);
    // True when no new record appears within ms.
    bool expectNone(int ms);

private:
    QStringList untaken();

    QString m_dir;
    QFileSystemWatcher m_watcher;
    QSet<QString> m_taken;
};

std::optional<PlayerRecord> readPlayerRecord(const QString &file);

// Files in a folder (names only, sorted), and reading a whole file.
QStringList filesIn(const QString &dir);
QByteArray readAll(const QString &file);

} // namespace e2e
