// Files replaced whole, and who may read them: the service's key is readable by SYSTEM and the
// Administrators only from the moment it exists, whatever the folder would grant.

#include "base/wholefile.h"
#include "support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

struct Access {
    bool readable = false;  // the security descriptor could be read
    bool protectedDacl = false; // nothing inherited from the folder
    std::vector<std::string> trustees; // SIDs of the allowing entries, as SDDL strings
    std::vector<DWORD> masks;
};

Access accessOf(const std::wstring &path)
{
    Access access;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor)
        != ERROR_SUCCESS)
        return access;
    access.readable = true;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    access.protectedDacl = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            continue;
        const auto *header = static_cast<ACE_HEADER *>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const auto *allowed = static_cast<ACCESS_ALLOWED_ACE *>(entry);
        LPWSTR sid = nullptr;
        if (ConvertSidToStringSidW(const_cast<DWORD *>(&allowed->SidStart), &sid)) {
            access.trustees.push_back(testsupport::toUtf8(sid));
            LocalFree(sid);
        }
        access.masks.push_back(allowed->Mask);
    }
    LocalFree(descriptor);
    return access;
}

} // namespace

TEST(WholeFile, KeyIsForSystemAndAdministratorsOnly)
{
    const std::wstring path = testsupport::tempPath(L"private");
    // An earlier file under the name, open to all: the new one does not take over its access.
    ASSERT_TRUE(writeWholeFile(testsupport::toUtf8(path), "old", FileReaders::Everyone));
    std::string error;
    ASSERT_TRUE(writeWholeFile(testsupport::toUtf8(path), std::string("key\0bytes", 9),
                               FileReaders::Administrators, &error))
            << error;
    EXPECT_EQ(testsupport::readFile(path), std::string("key\0bytes", 9));

    const Access access = accessOf(path);
    ASSERT_TRUE(access.readable);
    if (testsupport::runningUnderWine()) {
        // Wine keeps no access list of a file: it maps the list onto the Unix mode and reports
        // one made from that. Nobody but the owner is left in it.
        for (const std::string &trustee : access.trustees) {
            for (const char *everyone : { "S-1-1-0", "S-1-5-11", "S-1-5-32-545" })
                EXPECT_NE(trustee, everyone) << "readable by a group of all users";
        }
    } else {
        EXPECT_TRUE(access.protectedDacl) << "the folder's entries would be inherited";
        // S-1-5-18: LocalSystem; S-1-5-32-544: the built-in Administrators.
        EXPECT_EQ(access.trustees, (std::vector<std::string>{ "S-1-5-18", "S-1-5-32-544" }));
        EXPECT_EQ(access.masks, (std::vector<DWORD>{ FILE_ALL_ACCESS, FILE_ALL_ACCESS }));
    }
    DeleteFileW(path.c_str());
}

TEST(WholeFile, ReplacesWholeAndLeavesNothingBeside)
{
    const std::wstring folder = testsupport::tempPath(L"whole");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring path = folder + L"\\server.crt";
    const std::string utf8 = testsupport::toUtf8(path);
    EXPECT_FALSE(pathExists(utf8));
    ASSERT_TRUE(writeWholeFile(utf8, std::string(100000, 'a'), FileReaders::Everyone));
    ASSERT_TRUE(writeWholeFile(utf8, "short", FileReaders::Everyone));
    EXPECT_EQ(testsupport::readFile(path), "short");
    EXPECT_TRUE(pathExists(utf8));
    EXPECT_FALSE(accessOf(path).protectedDacl) << "a certificate keeps the folder's access";

    // A target that cannot be written (a folder of that name) leaves no temporary file.
    const std::wstring blocked = folder + L"\\blocked";
    ASSERT_TRUE(CreateDirectoryW(blocked.c_str(), nullptr));
    std::string error;
    EXPECT_FALSE(writeWholeFile(testsupport::toUtf8(blocked), "x", FileReaders::Administrators,
                                &error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;

    WIN32_FIND_DATAW found{};
    std::vector<std::wstring> names;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        if (found.cFileName[0] != L'.')
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    EXPECT_EQ(names.size(), 2u) << "a temporary file was left";

    EXPECT_TRUE(removeFile(utf8));
    EXPECT_TRUE(removeFile(utf8)) << "a file already gone counts as removed";
    RemoveDirectoryW(blocked.c_str());
    RemoveDirectoryW(folder.c_str());
}
