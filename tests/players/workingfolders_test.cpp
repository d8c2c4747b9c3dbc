#include "players/workingfolders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdlib>
#include <unistd.h>

namespace {

void touch(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write("x");
}

class WorkingFolders : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_public = m_dir.filePath(QStringLiteral("public"));
        setenv("MIRVALE_PUBLIC_DIR", m_public.toUtf8().constData(), 1);
    }
    void TearDown() override { unsetenv("MIRVALE_PUBLIC_DIR"); }

    QTemporaryDir m_dir;
    QString m_public;
};

} // namespace

TEST_F(WorkingFolders, PlacedUnderThePublicFolder)
{
    EXPECT_EQ(publicFolder(), m_public);
    EXPECT_EQ(playlistFolder(), m_public + QStringLiteral("/Mirvale/playlist"));
    EXPECT_EQ(subtitleFolder(), m_public + QStringLiteral("/Mirvale/subfiles"));

    // An empty setting counts as none.
    setenv("MIRVALE_PUBLIC_DIR", "", 1);
    const QString fallback = geteuid() == 0
        ? QStringLiteral("/var/lib")
        : QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    EXPECT_EQ(publicFolder(), fallback);
    unsetenv("MIRVALE_PUBLIC_DIR");
    EXPECT_EQ(publicFolder(), fallback);
}

TEST_F(WorkingFolders, CreatedWhenMissing)
{
    ASSERT_FALSE(QDir(m_public).exists());
    clearWorkingFolders();
    EXPECT_TRUE(QDir(playlistFolder()).exists());
    EXPECT_TRUE(QDir(subtitleFolder()).exists());
}

TEST_F(WorkingFolders, OrdinaryFilesRemovedSubFoldersAndHiddenFilesKept)
{
    clearWorkingFolders();
    for (const QString &folder : {playlistFolder(), subtitleFolder()}) {
        touch(folder + QStringLiteral("/090503042.list"));
        touch(folder + QStringLiteral("/090503042-1.m3u"));
        touch(folder + QStringLiteral("/no extension"));
        touch(folder + QStringLiteral("/.hidden"));
        ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("keep")));
        touch(folder + QStringLiteral("/keep/inside.srt"));
    }

    clearWorkingFolders();
    for (const QString &folder : {playlistFolder(), subtitleFolder()}) {
        const QDir dir(folder);
        EXPECT_EQ(dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name),
                  QStringList({QStringLiteral(".hidden"), QStringLiteral("keep")}))
            << folder.toStdString();
        EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/keep/inside.srt")));
    }
}
