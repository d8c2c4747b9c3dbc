#include "players/workingfolders.h"

#include <QStandardPaths>

#include <algorithm>
#include <utility>

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

QString workingFolderPath(WorkingFolder folder)
{
    return folder == WorkingFolder::Playlist ? playlistFolder() : subtitleFolder();
}

void PlayFiles::replace(std::vector<WorkingFile> latest)
{
    m_stale.insert(m_stale.end(), m_latest.begin(), m_latest.end());
    m_latest = std::move(latest);
    m_stale.erase(std::remove_if(m_stale.begin(), m_stale.end(),
                                 [](const WorkingFile &file) { return removeWorkingFile(file.folder, file.name); }),
                  m_stale.end());
}
