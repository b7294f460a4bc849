// A RAM disk is formatted for what it will hold: a restore of many small files never runs
// out of inodes half way.

#include "QMRamDisk.h"
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
