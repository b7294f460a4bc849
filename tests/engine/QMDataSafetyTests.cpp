// Saves that see every change and never replace good with nothing: writes through a shared
// mapping, items that vanish while a save runs, a copy kept where a symbolic link leads,
// the previous copy after an interrupted switch, and every failure told as itself.

#include "QMFileCopier.h"
#include "QMLog.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMVolumeHolders.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

QByteArray fs(const QString &path)
{
    return QFile::encodeName(path);
}

double now()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

QMError::Ptr save(const QString &volume, const QString &backup, QMFileCopier::Statistics *statistics = nullptr)
{
    return QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"),
                                                                  statistics);
}

// A page of the file: `text` at its start, zeros after.
QByteArray page(const QByteArray &text)
{
    QByteArray data(4096, '\0');
    data.replace(0, text.size(), text);
    return data;
}

QByteArray recordIn(const QString &path)
{
    const QByteArray data = readFile(path);
    return data.left(data.indexOf('\0'));
}

} // namespace

// On a memory file system only the first write through a new mapping moves the file's
// times; later ones never do. A mapped file counts as a change, and a file copied while it
// was mapped is copied again by the next save, since it may have been written after its
// copy was read.
TEST(QMDataSafety, WritesThroughASharedMappingReachEverySaveWhereNoTimeMoves)
{
    QMTemporaryDir volumeDir(QStringLiteral("/dev/shm/quilmo-mapped-XXXXXX"));
    struct statfs sfs {};
    if (!volumeDir.isValid() || statfs(fs(volumeDir.path()).constData(), &sfs) != 0 || sfs.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "no memory file system at /dev/shm";
    QMTemporaryDir disk;
    const QString volume = volumeDir.path(), backup = disk.filePath(QStringLiteral("ID.QuilmoBackup"));
    const QString db = volume + QStringLiteral("/records.db");
    ASSERT_TRUE(writeFile(db, page("record-v0")));
    ASSERT_TRUE(writeFile(volume + QStringLiteral("/other.txt"), "untouched"));
    ASSERT_TRUE(waitUntilOlderThanASave(volume)); // changed last, by the second file
    double began = now();
    ASSERT_FALSE(save(volume, backup));
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(volume, began, backup), 0);

    MappedWriter writer(QStringLiteral(QM_MMAP_WRITER), db);
    ASSERT_TRUE(writer.isMapped());
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(volume, began, backup), 1) << "a mapped file is a change";
    ASSERT_TRUE(writer.write("record-v1"));
    ASSERT_TRUE(waitUntilOlderThanASave(db));
    began = now();
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume, backup, &statistics));
    EXPECT_EQ(recordIn(backup + QStringLiteral("/records.db")), QByteArray("record-v1"));
    EXPECT_EQ(statistics.filesLinked, 1u) << "other.txt is taken from the last copy";

    // Written once more, then the program ends: no time tells of it.
    struct stat before {}, after {};
    ASSERT_EQ(lstat(fs(db).constData(), &before), 0);
    ASSERT_TRUE(writer.write("record-v2"));
    ASSERT_TRUE(writer.exit());
    ASSERT_EQ(lstat(fs(db).constData(), &after), 0);
    EXPECT_TRUE(after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec
                && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec)
        << "the premise: no time moved";
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(volume, began, backup), 1)
        << "the last copy holds a file copied while it was mapped";
    began = now();
    ASSERT_FALSE(save(volume, backup));
    EXPECT_EQ(recordIn(backup + QStringLiteral("/records.db")), QByteArray("record-v2"));
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(volume, began, backup), 0) << "nothing is mapped any more";
}

// The same on a RAM disk, through its actions: a record written through a mapping after a
// save, by a program that then ends, is in the ejection's save and comes back.
TEST(QMDataSafetyEndToEnd, ARecordWrittenThroughAMappingAfterASaveComesBackAfterEjectAndCreate)
{
    QM_REQUIRE_SANDBOX(sandbox);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Mapped"));
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    const QString db = r->path() + QStringLiteral("/records.db");
    ASSERT_TRUE(writeFile(db, page("")));

    MappedWriter writer(QStringLiteral(QM_MMAP_WRITER), db);
    ASSERT_TRUE(writer.isMapped());
    // Held by its mapping alone (no open file, no directory there): an eject names it.
    const QList<QMVolumeHolders::Holder> holders = QMVolumeHolders::holdersOfVolumeAtPath(r->path());
    EXPECT_EQ(holders.size(), 1);
    EXPECT_EQ(holders.value(0).pid, pid_t(writer.pid()));
    ASSERT_TRUE(writer.write("record-v1"));
    delegate.clear();
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError());
    EXPECT_EQ(recordIn(r->backupDirPath() + QStringLiteral("/records.db")), QByteArray("record-v1"));

    // The save flushed the volume: on a block device the next write through the mapping
    // faults and moves the file's times.
    struct stat before {}, after {};
    ASSERT_EQ(lstat(fs(db).constData(), &before), 0);
    ASSERT_TRUE(writer.write("record-v2"));
    ASSERT_TRUE(writer.exit());
    ASSERT_EQ(lstat(fs(db).constData(), &after), 0);
    if (major(after.st_dev) != 0) {
        EXPECT_FALSE(after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec)
            << "the write after the save moved no time: the volume was not flushed";
    }
    EXPECT_EQ(QMRamDiskAutoSave::volumeChangedSince(r->path(), r->lastSaveDate(), r->backupDirPath()), 1)
        << "the schedule would not save it";
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError());
    ASSERT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_EQ(recordIn(r->backupDirPath() + QStringLiteral("/records.db")), QByteArray("record-v2"));
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(recordIn(db), QByteArray("record-v2"));
}

// A build or a browser creating and deleting files while the RAM disk is saved: what
// vanished between the listing and its copy is counted, never a failure.
TEST(QMDataSafetyEndToEnd, FilesThatVanishDuringASaveDoNotFailIt)
{
    QM_REQUIRE_SANDBOX(sandbox);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Churn"));
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/kept.txt"), "the user's work"));

    QProcess churner;
    churner.setWorkingDirectory(r->path());
    churner.start(QStringLiteral("/bin/sh"),
                  {QStringLiteral("-c"), QStringLiteral("i=0; while :; do mkdir tmp$i; for f in 1 2 3 4 5 6 7 8; do "
                                                        ": > tmp$i/o$f; done; rm tmp$i/o*; rmdir tmp$i; i=$((i+1)); done")});
    ASSERT_TRUE(churner.waitForStarted());
    LogCapture log;
    const auto goneCounted = [&] {
        for (const QString &line : log.lines())
            if (line.contains(QLatin1String("Saved ")) && !line.contains(QLatin1String(" 0 gone during the save")))
                return true;
        return false;
    };
    int saves = 0;
    for (; saves < 100 && !goneCounted(); ++saves) {
        delegate.clear();
        r->performAction(QMRamDiskAction_backup, &delegate, true);
        ASSERT_TRUE(delegate.waitForEnd());
        ASSERT_FALSE(r->lastError()) << "save " << saves << ": " << r->lastError()->description().toStdString();
    }
    churner.kill();
    churner.waitForFinished();
    EXPECT_TRUE(goneCounted()) << "no item vanished in " << saves << " saves: the test proves nothing";
    EXPECT_EQ(readFile(r->backupDirPath() + QStringLiteral("/kept.txt")), QByteArray("the user's work"));
    r->setBackupMode(QMRamDiskBackupMode_disabled);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
}

// A backup folder that is a symbolic link to the disk where the user keeps it: restored
// from, saved into at the link's target, and the link stays a link. Leading nowhere (that
// disk is not there), it is a missing backup.
TEST(QMDataSafetyEndToEnd, ABackupFolderThatIsALinkIsUsedWhereItLeads)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString target = sandbox.mkdir(QStringLiteral("other-disk/kept"));
    const QString chosen = sandbox.mkdir(QStringLiteral("backups"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Linked"));
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(chosen);
    const QString link = r->backupDirPath();
    ASSERT_TRUE(writeFile(target + QStringLiteral("/notes.txt"), "saved last time"));
    ASSERT_TRUE(QFile::link(target, link));
    r->setLastSaveDate(now() - 3600);

    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted) << (r->lastError() ? r->lastError()->description().toStdString() : "");
    EXPECT_EQ(readFile(r->path() + QStringLiteral("/notes.txt")), QByteArray("saved last time"));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/notes.txt"), "saved now"));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), target);
    EXPECT_EQ(readFile(target + QStringLiteral("/notes.txt")), QByteArray("saved now"));
    EXPECT_TRUE(QDir(chosen).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
                    == QStringList{QFileInfo(link).fileName()})
        << "nothing was written beside the link";

    ASSERT_TRUE(QDir(sandbox.path() + QStringLiteral("/other-disk")).rename(QStringLiteral("kept"), QStringLiteral("away")));
    r->performAction(QMRamDiskAction_create, &delegate, false);
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->message().contains(QLatin1String("backup of the RamDisk is missing")))
        << r->lastError()->message().toStdString();
}

// The process dies between the two renames of a switch: only the previous copy is there
// (beside the unfinished new one), and the restore takes it.
TEST(QMDataSafety, TheRestoreTakesThePreviousCopyWhenTheCurrentOneIsMissing)
{
    QMTemporaryDir volume, disk, restored;
    const QString backup = disk.filePath(QStringLiteral("ID.QuilmoBackup"));
    ASSERT_TRUE(writeFile(volume.filePath(QStringLiteral("a.txt")), "complete"));
    ASSERT_TRUE(QDir().mkpath(volume.filePath(QStringLiteral("folder"))));
    ASSERT_TRUE(writeFile(volume.filePath(QStringLiteral("folder/b.txt")), "complete too"));
    ASSERT_FALSE(save(volume.path(), backup));
    ASSERT_TRUE(QFile::rename(backup, backup + QStringLiteral(".previous")));
    ASSERT_TRUE(QDir().mkpath(backup + QStringLiteral(".partial")));
    ASSERT_TRUE(writeFile(backup + QStringLiteral(".partial/a.txt"), "half"));

    QString source;
    ASSERT_FALSE(QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(restored.path(), backup, &source));
    EXPECT_EQ(source, backup + QStringLiteral(".previous"));
    EXPECT_EQ(readFile(restored.filePath(QStringLiteral("a.txt"))), QByteArray("complete"));
    EXPECT_EQ(readFile(restored.filePath(QStringLiteral("folder/b.txt"))), QByteArray("complete too"));
}

// More failures than the copier keeps: each is logged with its own cause.
TEST(QMDataSafety, EveryFailedItemIsLoggedWithItsCause)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir volume, disk;
    LoopFileSystem full(disk.filePath(QStringLiteral("disk.img")), disk.filePath(QStringLiteral("disk")), 8, {}, false);
    ASSERT_TRUE(full.isValid());
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeFile(volume.filePath(QStringLiteral("f%1").arg(i, 2, 10, QLatin1Char('0'))),
                              QByteArray(1024 * 1024, char('a' + i % 26))));
    LogCapture log;
    ASSERT_TRUE(save(volume.path(), disk.filePath(QStringLiteral("disk/ID.QuilmoBackup"))));
    const QStringList failed = log.lines().filter(QStringLiteral("copyItemAtPath==NO filePath:"));
    EXPECT_GT(failed.size(), 25) << "fewer failures than the copier keeps: the test proves nothing";
    for (const QString &line : failed) {
        EXPECT_FALSE(line.contains(QLatin1String("Success"))) << line.toStdString();
        EXPECT_TRUE(line.contains(QString::fromLocal8Bit(strerror(ENOSPC)))) << line.toStdString();
    }
}
