#include "players/workingfolders.h"

#include "base/descriptor_posix.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *folderName(WorkingFolder folder)
{
    return folder == WorkingFolder::Playlist ? "playlist" : "subfiles";
}

// Whether only the service's user may change what the folder holds: another user's folder, or one
// that others may write, lets them swap a playlist between its writing and the player's read.
bool folderIsOurs(int fd)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return false;
    const bool othersWrite = (status.st_mode & S_IWOTH) || ((status.st_mode & S_IWGRP) && status.st_gid != ::getegid());
    return status.st_uid == ::geteuid() && !othersWrite;
}

// Moves a folder that is not ours out of the way, under a hidden name beside it; what it holds
// goes with it, untouched.
bool moveAside(int parent, const char *name)
{
    static std::atomic<unsigned> s_counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray aside = QByteArray(".") + name + ".replaced-" + QByteArray::number(qint64(::getpid())) + "-"
                                 + QByteArray::number(s_counter++);
        if (::renameat(parent, name, parent, aside.constData()) == 0)
            return true;
        if (errno != EEXIST && errno != ENOTEMPTY)
            return errno == ENOENT;
    }
    return false;
}

// The folder `name` inside `parent`, opened without following a link: a link there is removed,
// and a folder that is not ours moved aside, and a folder made in its place; what is then opened
// is checked again, so a link put back in between is never followed. Anything else in the way (a
// file) is left alone.
int openRealFolder(int parent, const char *name)
{
    // A few rounds against someone who keeps putting the link back; then give up.
    for (int round = 0; round < 4; ++round) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            if (folderIsOurs(fd))
                return fd;
            ::close(fd);
            if (!moveAside(parent, name))
                return -1;
            continue;
        }
        if (errno == ENOENT) {
            if (::mkdirat(parent, name, 0755) != 0 && errno != EEXIST)
                return -1;
            continue;
        }
        struct stat status;
        if ((errno == ELOOP || errno == ENOTDIR) && ::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(status.st_mode)) {
            if (::unlinkat(parent, name, 0) != 0 && errno != ENOENT)
                return -1;
            continue;
        }
        return -1;
    }
    return -1;
}

// The working folder, opened through real folders from the public folder down. The public
// folder itself is the administrator's choice and followed as it is.
int openWorkingFolder(WorkingFolder folder)
{
    const QString base = publicFolder();
    QDir().mkpath(base);
    const Descriptor root(::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0)
        return -1;
    const Descriptor mirvale(openRealFolder(root.get(), "Mirvale"));
    if (mirvale.get() < 0)
        return -1;
    return openRealFolder(mirvale.get(), folderName(folder));
}

// Files only, and not hidden ones: what a player may still need beside them stays. A link is
// removed itself, never what it points to.
void clearFolder(WorkingFolder which)
{
    const Descriptor folder(openWorkingFolder(which));
    if (folder.get() < 0)
        return;
    Descriptor listing(::dup(folder.get()));
    if (listing.get() < 0)
        return;
    DIR *entries = ::fdopendir(listing.get());
    if (!entries)
        return;
    listing.release(); // closedir closes it
    while (const dirent *entry = ::readdir(entries)) {
        if (entry->d_name[0] == '.')
            continue;
        struct stat status;
        if (::fstatat(folder.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode))
            ::unlinkat(folder.get(), entry->d_name, 0);
    }
    ::closedir(entries);
}

} // namespace

void clearWorkingFolders()
{
    clearFolder(WorkingFolder::Playlist);
    clearFolder(WorkingFolder::Subtitle);
}

bool prepareWorkingFolder(WorkingFolder folder)
{
    const Descriptor fd(openWorkingFolder(folder));
    return fd.get() >= 0;
}

FileCreation createWorkingFile(QFile &file, WorkingFolder folder, const QString &name)
{
    const Descriptor directory(openWorkingFolder(folder));
    if (directory.get() < 0)
        return FileCreation::Failed;
    // Relative to the folder just opened: nothing between the check and the creation can send
    // the file elsewhere. O_EXCL never follows a link in the last place either.
    Descriptor created(::openat(directory.get(), QFile::encodeName(name).constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (created.get() < 0)
        return errno == EEXIST ? FileCreation::Taken : FileCreation::Failed;
    file.setFileName(workingFolderPath(folder) + QLatin1Char('/') + name);
    if (!file.open(created.get(), QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::unlinkat(directory.get(), QFile::encodeName(name).constData(), 0);
        return FileCreation::Failed;
    }
    created.release();
    return FileCreation::Created;
}

bool removeWorkingFile(WorkingFolder folder, const QString &name)
{
    const Descriptor directory(openWorkingFolder(folder));
    if (directory.get() < 0)
        return false;
    return ::unlinkat(directory.get(), QFile::encodeName(name).constData(), 0) == 0 || errno == ENOENT;
}
