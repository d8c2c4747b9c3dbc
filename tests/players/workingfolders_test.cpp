#include "players/workingfolders.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// A link at "Mirvale", "playlist" or "subfiles" (planted before the start, or between two
// Plays) is replaced by a real folder: nothing the link points to is emptied or written to. A
// link inside a folder is removed itself, never its target.
TEST_F(WorkingFolders, LinksAreReplacedNeverFollowed)
{
    const QString victim = m_dir.filePath(QStringLiteral("victim"));
    const QString victimFile = victim + QStringLiteral("/precious.list");
    for (const char *level : {"Mirvale", "Mirvale/playlist", "Mirvale/subfiles"}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(QDir(m_public).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(m_public + QStringLiteral("/Mirvale/playlist")));
        ASSERT_TRUE(QDir().mkpath(victim + QStringLiteral("/playlist")));
        ASSERT_TRUE(QDir().mkpath(victim + QStringLiteral("/subfiles")));
        touch(victimFile);
        touch(victim + QStringLiteral("/playlist/precious.list"));
        const QString at = m_public + QLatin1Char('/') + QLatin1String(level);
        QDir(at).removeRecursively();
        const QString target = QString(level) == QLatin1String("Mirvale") ? victim : victim + QStringLiteral("/playlist");
        ASSERT_TRUE(QFile::link(target, at));

        clearWorkingFolders();
        EXPECT_FALSE(QFileInfo(at).isSymLink());
        EXPECT_TRUE(QFileInfo(at).isDir());
        EXPECT_TRUE(QFile::exists(victimFile));
        EXPECT_TRUE(QFile::exists(victim + QStringLiteral("/playlist/precious.list")));

        // Planted again once the service runs: the next file still lands in a real folder.
        const WorkingFolder folder = QString(level).endsWith(QLatin1String("subfiles")) ? WorkingFolder::Subtitle
                                                                                        : WorkingFolder::Playlist;
        const QString path = workingFolderPath(folder);
        ASSERT_TRUE(QDir(at).removeRecursively());
        ASSERT_TRUE(QFile::link(target, at));
        QFile file;
        ASSERT_EQ(createWorkingFile(file, folder, QStringLiteral("090503042.list")), FileCreation::Created);
        file.write("new\n");
        file.close();
        EXPECT_FALSE(QFileInfo(at).isSymLink());
        EXPECT_EQ(QDir(path).entryList(QDir::Files), QStringList(QStringLiteral("090503042.list")));
        EXPECT_EQ(QDir(victim).entryList(QDir::Files), QStringList(QStringLiteral("precious.list")));
        EXPECT_EQ(QDir(victim + QStringLiteral("/playlist")).entryList(QDir::Files),
                  QStringList(QStringLiteral("precious.list")));
        EXPECT_TRUE(removeWorkingFile(folder, QStringLiteral("090503042.list")));
        EXPECT_FALSE(QFile::exists(path + QStringLiteral("/090503042.list")));
    }

    // A link among the files goes; what it points to stays.
    ASSERT_TRUE(QFile::link(victimFile, playlistFolder() + QStringLiteral("/link.list")));
    clearWorkingFolders();
    EXPECT_FALSE(QFileInfo(playlistFolder() + QStringLiteral("/link.list")).isSymLink());
    EXPECT_TRUE(QFile::exists(victimFile));
    // An existing name, a file or a link, is taken and left as it is.
    ASSERT_TRUE(QFile::link(victimFile, playlistFolder() + QStringLiteral("/taken.list")));
    QFile file;
    EXPECT_EQ(createWorkingFile(file, WorkingFolder::Playlist, QStringLiteral("taken.list")), FileCreation::Taken);
    EXPECT_EQ(QFile(victimFile).size(), 1);
}
