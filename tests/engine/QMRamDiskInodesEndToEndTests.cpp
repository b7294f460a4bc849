// A RAM disk is made for what it will hold: a restore of many small files never runs out of
// inodes half way. A loop device's ext4 is formatted with inodes for them; a memory
// instance holds a number of items fixed by its size, and a backup or base with more is
// refused before anything is attached.

#include "QMFormatRules.h"
#include "QMRamDisk.h"
#include "QMVolumeCapacity.h"
#include "QMRamDiskTestSupport.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

int g_files = 0;

int countFile(const char *, const struct stat *st, int type, struct FTW *)
{
    if (type == FTW_F && S_ISREG(st->st_mode) && st->st_size == 100)
        ++g_files;
    return 0;
}

int filesBelow(const QString &path)
{
    g_files = 0;
    nftw(QFile::encodeName(path).constData(), countFile, 64, FTW_PHYS);
    return g_files;
}

} // namespace

TEST(QMRamDiskInodesEndToEnd, ABackupOfAHundredThousandSmallFilesIsRestoredCompletely)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    LoopRealisation loop;
    // 1.3 GB: the default format (one inode per 16 KiB) gives about 79,000 inodes, fewer than
    // the backup holds.
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Many"),
                                           1300000000ULL);
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    const QString backup = r->backupDirPath();
    constexpr int kDirs = 100, kPerDir = 1000;
    const QByteArray data(100, 'x');
    for (int d = 0; d < kDirs; ++d) {
        const QByteArray dir = QFile::encodeName(backup + QStringLiteral("/d%1").arg(d));
        ASSERT_TRUE(QDir().mkpath(QFile::decodeName(dir)));
        for (int f = 0; f < kPerDir; ++f) {
            const QByteArray path = dir + "/f" + QByteArray::number(f);
            const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, data.constData(), data.size()), data.size());
            close(fd);
        }
    }

    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_FALSE(error) << error->description().toStdString();
    EXPECT_FALSE(r->contentsIncomplete());
    EXPECT_EQ(filesBelow(r->path()), kDirs * kPerDir);
    struct statvfs sv {};
    ASSERT_EQ(statvfs(QFile::encodeName(r->path()).constData(), &sv), 0);
    // Half as many again as it holds: room to go on working.
    EXPECT_GE(quint64(sv.f_files), quint64(kDirs * (kPerDir + 1)) * 3 / 2);

    r->setBackupMode(0); // nothing to save back
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(r->lastError());
}

namespace {

// `count` empty files in a new directory: items whose bytes always fit.
bool makeEmptyFiles(const QString &dir, quint64 count)
{
    if (!QDir().mkpath(dir))
        return false;
    const QByteArray base = QFile::encodeName(dir) + "/e";
    for (quint64 i = 0; i < count; ++i) {
        const int fd = open((base + QByteArray::number(i)).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        close(fd);
    }
    return true;
}

quint64 filesIn(const QString &dir)
{
    return quint64(QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System).size());
}

} // namespace

// The smallest RAM disk holds pages + an eighth items; its backup or base holds one more
// (the directory of the files counts as well). Refused before any tool runs, nothing moved;
// at the smallest size that holds them, every item arrives.
TEST(QMRamDiskInodesEndToEnd, MoreItemsThanAMemoryInstanceHoldsAreRefusedBeforeAnythingIsAttached)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (QMRamDeviceKindForNewRamDisks() != QMRamDeviceKind::MemoryInstance)
        GTEST_SKIP() << "this kernel makes loop devices";
    const quint64 size = 128000000ULL;
    const quint64 room = QMFreeInodesForSize(size);
    ASSERT_EQ(room, QMFormatRules::memoryInstanceFreeInodes(size, quint64(sysconf(_SC_PAGESIZE))));
    quint64 fits = size;
    while (QMFreeInodesForSize(fits) < room + 1)
        fits += 4096;

    for (const qint64 mode : {QMRamDiskBackupMode_chosenDirectory, QMRamDiskBackupMode_baseSynchronized}) {
        SCOPED_TRACE(mode);
        RamDiskSandbox sandbox;
        ASSERT_TRUE(sandbox.isValid());
        const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
        QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Many"), size);
        r->setBackupMode(mode);
        QString source;
        if (mode == QMRamDiskBackupMode_chosenDirectory) {
            r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
            source = r->backupDirPath() + QStringLiteral("/files");
        } else {
            source = r->basePath() + QStringLiteral("/files");
        }
        // The directory and its files: one item more than the RAM disk has room for.
        ASSERT_TRUE(makeEmptyFiles(source, room));

        RecordingDelegate delegate;
        QMError::Ptr error;
        {
            ToolWrappers tools({QStringLiteral("hdiutil"), QStringLiteral("newfs_hfs"), QStringLiteral("mount")});
            EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
            EXPECT_TRUE(tools.log().isEmpty()) << tools.log().join(QLatin1Char('\n')).toStdString();
        }
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->description().contains(QStringLiteral("it holds %1 items").arg(room + 1)))
            << error->description().toStdString();
        EXPECT_TRUE(error->description().contains(QStringLiteral("has room for %1").arg(room)))
            << error->description().toStdString();
        EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
        EXPECT_EQ(filesIn(source), room) << "the base is not moved, the backup not touched";
        EXPECT_FALSE(QFileInfo::exists(r->baseBackupPath()));

        r->setSize(fits);
        delegate.clear();
        ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
        EXPECT_FALSE(r->contentsIncomplete());
        EXPECT_EQ(filesIn(r->path() + QStringLiteral("/files")), room);
        r->performAction(QMRamDiskAction_eject, &delegate, false);
        EXPECT_FALSE(r->lastError());
    }
}
