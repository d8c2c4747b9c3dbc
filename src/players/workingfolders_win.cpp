#include "players/workingfolders.h"

#include "base/uniquehandle_win.h"

#include <QDir>
#include <QFile>

#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

using Handle = UniqueHandle<HANDLE>;

// Owner Administrators; SYSTEM and Administrators may do anything, Users read and list (the
// players run as the user); inherited by what is made inside; nothing inherited from above.
const wchar_t kFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

Handle guard(HANDLE handle)
{
    return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle, &CloseHandle);
}

bool isReparsePoint(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Gives the open folder the access list above.
bool secure(HANDLE folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    const UniqueHandle<PSECURITY_DESCRIPTOR> descriptorGuard(descriptor, &LocalFree);
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE;
    BOOL daclDefaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted)
        || !GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &daclDefaulted))
        return false;
    return SetSecurityInfo(folder, SE_FILE_OBJECT,
                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION
                               | PROTECTED_DACL_SECURITY_INFORMATION,
                           owner, nullptr, dacl, nullptr)
           == ERROR_SUCCESS;
}

// The folder at `path`, a real folder, held open so that it can be neither deleted nor renamed
// (no FILE_SHARE_DELETE) while the caller works inside it. A reparse point there (a junction,
// a symbolic link) is removed itself, never what it points to, and a folder made in its place.
Handle pinRealFolder(const QString &path)
{
    const std::wstring name = wide(path);
    // A few rounds against someone who keeps putting the link back; then give up.
    for (int round = 0; round < 4; ++round) {
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!CreateDirectoryW(name.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return Handle();
            continue;
        }
        if (isReparsePoint(attributes)) {
            const bool removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str())
                                                                         : DeleteFileW(name.c_str());
            if (!removed)
                return Handle();
            continue;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Handle();
        // Opened as what is there now, link or not, and judged by the handle itself.
        Handle folder = guard(CreateFileW(name.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!folder)
            return Handle();
        BY_HANDLE_FILE_INFORMATION information;
        if (!GetFileInformationByHandle(folder.get(), &information))
            return Handle();
        if (isReparsePoint(information.dwFileAttributes) || !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (!secure(folder.get()))
            return Handle();
        return folder;
    }
    return Handle();
}

// "Mirvale" and the working folder, both pinned for as long as this lives.
struct PinnedFolder {
    Handle mirvale;
    Handle folder;
    QString path;

    bool valid() const { return bool(folder); }
};

PinnedFolder pin(WorkingFolder which)
{
    PinnedFolder pinned;
    QDir().mkpath(publicFolder());
    pinned.mirvale = pinRealFolder(publicFolder() + QStringLiteral("/Mirvale"));
    if (pinned.mirvale) {
        pinned.path = workingFolderPath(which);
        pinned.folder = pinRealFolder(pinned.path);
    }
    return pinned;
}

// Files only, and not hidden ones: what a player may still need beside them stays. A link is
// removed itself, never what it points to.
void clearFolder(WorkingFolder which)
{
    const PinnedFolder pinned = pin(which);
    if (!pinned.valid())
        return;
    const std::wstring folder = wide(pinned.path) + L"\\";
    WIN32_FIND_DATAW entry;
    const HANDLE first = FindFirstFileW((folder + L"*").c_str(), &entry);
    if (first == INVALID_HANDLE_VALUE)
        return;
    const UniqueHandle<HANDLE> search(first, &FindClose);
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN))
            continue;
        DeleteFileW((folder + entry.cFileName).c_str());
    } while (FindNextFileW(search.get(), &entry));
}

} // namespace

void clearWorkingFolders()
{
    clearFolder(WorkingFolder::Playlist);
    clearFolder(WorkingFolder::Subtitle);
}

bool prepareWorkingFolder(WorkingFolder folder)
{
    return pin(folder).valid();
}

FileCreation createWorkingFile(QFile &file, WorkingFolder which, const QString &name)
{
    const PinnedFolder pinned = pin(which);
    if (!pinned.valid())
        return FileCreation::Failed;
    // With both folders held open, the path names the folders just checked. CREATE_NEW fails on
    // any existing name, a link included.
    const QString path = pinned.path + QLatin1Char('/') + name;
    HANDLE created = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_EXISTS ? FileCreation::Taken : FileCreation::Failed;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(created), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(created);
        DeleteFileW(wide(path).c_str());
        return FileCreation::Failed;
    }
    file.setFileName(path);
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        DeleteFileW(wide(path).c_str());
        return FileCreation::Failed;
    }
    return FileCreation::Created;
}

bool removeWorkingFile(WorkingFolder which, const QString &name)
{
    const PinnedFolder pinned = pin(which);
    if (!pinned.valid())
        return false;
    const std::wstring path = wide(pinned.path + QLatin1Char('/') + name);
    return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}
