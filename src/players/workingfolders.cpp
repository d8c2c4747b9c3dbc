#include "players/workingfolders.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

QString publicFolder()
{
#ifdef Q_OS_WIN
    return QStringLiteral("C:/Users/Public");
#else
    const QString configured = qEnvironmentVariable("MIRVALE_PUBLIC_DIR");
    if (!configured.isEmpty())
        return configured;
    // A system service has no home of its own worth writing to; a user's service does.
    if (geteuid() == 0)
        return QStringLiteral("/var/lib");
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#endif
}

QString playlistFolder()
{
    return publicFolder() + QStringLiteral("/Mirvale/playlist");
}

QString subtitleFolder()
{
    return publicFolder() + QStringLiteral("/Mirvale/subfiles");
}

namespace {

void clearFolder(const QString &path)
{
    QDir folder(path);
    if (!folder.exists())
        folder.mkpath(path);
    // Files only, and not hidden ones: what a player may still need beside them stays.
    folder.setNameFilters(QStringList(QStringLiteral("*")));
    folder.setFilter(QDir::Files);
    const QStringList files = folder.entryList();
    for (const QString &file : files)
        folder.remove(file);
}

} // namespace

void clearWorkingFolders()
{
    clearFolder(playlistFolder());
    clearFolder(subtitleFolder());
}
