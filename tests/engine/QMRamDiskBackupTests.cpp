// Backing a volume's top level up to disk and restoring it, on real files.

#include "QMRamDiskBackup.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

struct StatOf
{
    struct stat st {};
    bool ok = false;
    explicit StatOf(const QString &path) { ok = lstat(QFile::encodeName(path).constData(), &st) == 0; }
};

QByteArray pattern(qsizetype size, char seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = char(seed + (i * 31) % 97);
    return data;
}

void setTimes(const QString &path, time_t sec, long nsec)
{
    const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW);
}

// A volume of typical contents: files of several sizes, a nested folder, a link, an
// extended attribute, odd modes and times, and the names that are never copied.
void fillVolume(const QString &volume)
{
    QDir(volume).mkpath(QStringLiteral("folder/inner"));
    writeFile(volume + QStringLiteral("/small.txt"), "hello");
    writeFile(volume + QStringLiteral("/empty"), QByteArray());
    writeFile(volume + QStringLiteral("/folder/big.bin"), pattern(3 * 1024 * 1024 + 17, 'a'));
    writeFile(volume + QStringLiteral("/folder/inner/deep.txt"), "deep");
    writeFile(volume + QStringLiteral("/.DS_Store"), "finder"); // content in a backup
    EXPECT_EQ(symlink("folder/inner/deep.txt", QFile::encodeName(volume + QStringLiteral("/link")).constData()), 0);
    setxattr(QFile::encodeName(volume + QStringLiteral("/small.txt")).constData(), "user.quilmo.test", "v1", 2, 0);
    chmod(QFile::encodeName(volume + QStringLiteral("/small.txt")).constData(), 0640);
    chmod(QFile::encodeName(volume + QStringLiteral("/folder/inner")).constData(), 0750);
    setTimes(volume + QStringLiteral("/small.txt"), 1000000000, 123456789);
    setTimes(volume + QStringLiteral("/folder/inner"), 1100000000, 5);
    QDir(volume).mkdir(QStringLiteral(".Trashes"));
    QDir(volume).mkdir(QStringLiteral(".fseventsd"));
    writeFile(volume + QStringLiteral("/.fseventsd/x"), "x");
}

std::string linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t n = readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, size_t(n));
}

void expectSameItem(const QString &a, const QString &b)
{
    StatOf sa(a), sb(b);
    ASSERT_TRUE(sa.ok && sb.ok) << a.toStdString() << " / " << b.toStdString();
    EXPECT_EQ(sa.st.st_mode, sb.st.st_mode) << b.toStdString();
    EXPECT_EQ(sa.st.st_uid, sb.st.st_uid) << b.toStdString();
    if (!S_ISLNK(sa.st.st_mode)) {
        EXPECT_EQ(sa.st.st_mtim.tv_sec, sb.st.st_mtim.tv_sec) << b.toStdString();
        EXPECT_EQ(sa.st.st_mtim.tv_nsec, sb.st.st_mtim.tv_nsec) << b.toStdString();
    }
    if (S_ISREG(sa.st.st_mode)) {
        EXPECT_EQ(readFile(a), readFile(b)) << b.toStdString();
    }
    if (S_ISLNK(sa.st.st_mode)) {
        EXPECT_EQ(linkTarget(a), linkTarget(b));
    }
}

void expectSameTree(const QString &from, const QString &to)
{
    for (const QString &rel : {QStringLiteral("small.txt"), QStringLiteral("empty"), QStringLiteral("folder"),
                               QStringLiteral("folder/big.bin"), QStringLiteral("folder/inner"),
                               QStringLiteral("folder/inner/deep.txt"), QStringLiteral(".DS_Store"),
                               QStringLiteral("link")})
        expectSameItem(from + QLatin1Char('/') + rel, to + QLatin1Char('/') + rel);
    char value[8] = {};
    EXPECT_EQ(getxattr(QFile::encodeName(to + QStringLiteral("/small.txt")).constData(), "user.quilmo.test", value,
                       sizeof value),
              2);
    EXPECT_STREQ(value, "v1");
}

} // namespace

TEST(QMRamDiskBackup, BackupThenRestoreKeepsContentsAndAttributes)
{
    QMTemporaryDir volume, disk, fresh;
    fillVolume(volume.path());
    const QString backup = disk.path() + QStringLiteral("/parents/made/ID.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();

    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    expectSameTree(volume.path(), backup);
    // Another platform's volume names are the user's folders here: they go along.
    EXPECT_TRUE(QFileInfo(backup + QStringLiteral("/.Trashes")).isDir());
    EXPECT_EQ(readFile(backup + QStringLiteral("/.fseventsd/x")), QByteArray("x"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));

    ASSERT_FALSE(b->restoreRamDiskAtPath(fresh.path(), backup));
    expectSameTree(volume.path(), fresh.path());
}

TEST(QMRamDiskBackup, AReplacedCopyIsRemovedBehindTheSaveAndALeftoverWithTheNext)
{
    QMTemporaryDir volume, disk;
    const QString backup = disk.path() + QStringLiteral("/D.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    writeFile(volume.path() + QStringLiteral("/one.txt"), "1");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    // What a program that ended during a removal left: never a source, gone with the next save.
    const QString leftover = backup + QStringLiteral(".discarded-1-0");
    QDir().mkpath(leftover + QStringLiteral("/deep/er"));
    writeFile(leftover + QStringLiteral("/deep/er/which"), "leftover");
    QFile::setPermissions(leftover + QStringLiteral("/deep"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QString otherCopy = disk.path() + QStringLiteral("/D.QuilmoBackupX.discarded-1-0");
    QDir().mkpath(otherCopy);

    writeFile(volume.path() + QStringLiteral("/one.txt"), "2");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    EXPECT_EQ(readFile(backup + QStringLiteral("/one.txt")), QByteArray("2"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
    EXPECT_FALSE(QFileInfo::exists(leftover));
    EXPECT_TRUE(QFileInfo::exists(otherCopy)) << "another copy's names are not this one's";
    QMRamDiskBackup::waitForDiscards();
    EXPECT_EQ(QDir(disk.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              (QStringList{QStringLiteral("D.QuilmoBackup"), QStringLiteral("D.QuilmoBackupX.discarded-1-0")}));
}

TEST(QMRamDiskBackup, PreviousBackupIsReplacedOnlyByACompleteOne)
{
    QMTemporaryDir volume, disk;
    const QString backup = disk.path() + QStringLiteral("/B.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    writeFile(volume.path() + QStringLiteral("/one.txt"), "1");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    // A stale previous backup from an interrupted run goes first.
    QDir().mkpath(backup + QStringLiteral(".previous/stale"));
    writeFile(volume.path() + QStringLiteral("/two.txt"), "2");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    EXPECT_EQ(readFile(backup + QStringLiteral("/two.txt")), QByteArray("2"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));

    // A volume holding only its file system's empty lost+found gives an empty backup and
    // drops the previous one.
    QMTemporaryDir systemOnly;
    QDir(systemOnly.path()).mkdir(QStringLiteral("lost+found"));
    ASSERT_FALSE(b->backupRamDiskAtPath(systemOnly.path(), backup, QStringLiteral("previous")));
    EXPECT_TRUE(QDir(backup).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
}

TEST(QMRamDiskBackup, AFailedItemFailsTheBackupAndKeepsTheCompleteOne)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    // The backup lands on a file system too small for one of the items.
    QMTemporaryDir volume, disk;
    const QString small = disk.path() + QStringLiteral("/small");
    QDir().mkpath(small);
    ASSERT_EQ(mount("tmpfs", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m"), 0);
    struct Unmount
    {
        QString path;
        ~Unmount() { umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
    } unmount{small};

    const QString backup = small + QStringLiteral("/B.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    writeFile(volume.path() + QStringLiteral("/keep.txt"), "old");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));

    writeFile(volume.path() + QStringLiteral("/keep.txt"), "new");
    writeFile(volume.path() + QStringLiteral("/huge.bin"), pattern(2 * 1024 * 1024, 'z'));
    LogCapture log;
    QMError::Ptr e = b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->message(), QStringLiteral("Can not create backup"));
    EXPECT_TRUE(e->depends().localizedDescription().contains(QStringLiteral("huge.bin")))
        << e->depends().localizedDescription().toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("copyItemAtPath==NO filePath:") + volume.path()
                             + QStringLiteral("/huge.bin")));
    // The complete backup stays where a restore looks for it; nothing half-made is left.
    EXPECT_EQ(readFile(backup + QStringLiteral("/keep.txt")), QByteArray("old"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral("/huge.bin")));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".partial")));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
}

TEST(QMRamDiskBackup, RestoreEdgeCases)
{
    QMTemporaryDir volume, disk;
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    // No backup yet: nothing to copy, no error.
    EXPECT_FALSE(b->restoreRamDiskAtPath(volume.path(), disk.path() + QStringLiteral("/none")));
    EXPECT_TRUE(QDir(volume.path()).isEmpty());

    // An item already on the volume is left as it is, and the restore is not complete.
    const QString backup = disk.path() + QStringLiteral("/B");
    QDir().mkpath(backup);
    writeFile(backup + QStringLiteral("/same.txt"), "from backup");
    writeFile(backup + QStringLiteral("/other.txt"), "other");
    writeFile(volume.path() + QStringLiteral("/same.txt"), "on volume");
    LogCapture log;
    QMError::Ptr failed = b->restoreRamDiskAtPath(volume.path(), backup);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message(), QStringLiteral("Can not restore backup"));
    EXPECT_TRUE(failed->depends().localizedDescription().contains(QStringLiteral("same.txt")));
    EXPECT_EQ(readFile(volume.path() + QStringLiteral("/same.txt")), QByteArray("on volume"));
    EXPECT_EQ(readFile(volume.path() + QStringLiteral("/other.txt")), QByteArray("other"));
    EXPECT_TRUE(log.contains(QStringLiteral("copyItemAtPath==NO path:")));

    // Missing arguments.
    QMError::Ptr e = b->restoreRamDiskAtPath(QString(), backup);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->message(), QStringLiteral("Can not restore backup"));
    EXPECT_TRUE(e->reason().endsWith(QStringLiteral("path==nil || backupDirPath==nil")));
    e = b->backupRamDiskAtPath(volume.path(), QString(), QStringLiteral("previous"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->message(), QStringLiteral("Can not create backup"));
    EXPECT_TRUE(e->reason().endsWith(QStringLiteral("path==nil || backupPath==nil")));
}

TEST(QMRamDiskBackup, AnUnreadableVolumeKeepsTheOldBackupInPlace)
{
    QMTemporaryDir disk;
    const QString backup = disk.path() + QStringLiteral("/B");
    QDir().mkpath(backup);
    writeFile(backup + QStringLiteral("/precious.txt"), "p");
    QMError::Ptr e = QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(disk.path() + QStringLiteral("/gone"),
                                                                          backup, QStringLiteral("previous"));
    ASSERT_TRUE(e);
    EXPECT_TRUE(e->reason().endsWith(QStringLiteral("contentsOfDirectoryAtPath:")));
    EXPECT_EQ(readFile(backup + QStringLiteral("/precious.txt")), QByteArray("p"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
}

TEST(QMRamDiskBackup, FileOperations)
{
    QMTemporaryDir dir;
    const QString a = dir.path() + QStringLiteral("/a"), b = dir.path() + QStringLiteral("/b");
    writeFile(a, "A");
    writeFile(b, "B");
    QString error;
    EXPECT_FALSE(QMRamDiskBackup::copyItemAtPath(a, b, &error)); // never over an existing item
    EXPECT_EQ(readFile(b), QByteArray("B"));
    EXPECT_FALSE(QMRamDiskBackup::moveItemAtPath(a, b, &error)); // nor a move
    EXPECT_EQ(readFile(b), QByteArray("B"));
    EXPECT_FALSE(error.isEmpty());

    // A dangling link exists and is removed, not followed.
    const QString link = dir.path() + QStringLiteral("/dangling");
    ASSERT_EQ(symlink("/nonexistent/target", QFile::encodeName(link).constData()), 0);
    EXPECT_TRUE(QMRamDiskBackup::fileExistsAtPath(link));
    EXPECT_TRUE(QMRamDiskBackup::removeItemAtPath(link, &error));
    EXPECT_FALSE(QMRamDiskBackup::fileExistsAtPath(link));

    // A read-only folder of one's own is removed with its contents.
    const QString ro = dir.path() + QStringLiteral("/ro");
    QDir().mkpath(ro + QStringLiteral("/sub"));
    writeFile(ro + QStringLiteral("/sub/f"), "f");
    chmod(QFile::encodeName(ro + QStringLiteral("/sub")).constData(), 0500);
    EXPECT_TRUE(QMRamDiskBackup::removeItemAtPath(ro, &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo::exists(ro));
    EXPECT_FALSE(QMRamDiskBackup::removeItemAtPath(ro, &error));
}
