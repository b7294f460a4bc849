// What a fresh RAM disk offers: a memory instance all of its size (see the instance tests);
// a loop device's ext4 nearly all of it, enough inodes, as many as asked for.

#include "DiskToolTestSupport.h"
#include "QMFormatRules.h"
#include "QMTestSupport.h"

#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/statvfs.h>

using namespace DiskToolTest;

TEST(DiskToolLoopCapacity, AFreshRamDiskOffersNearlyAllOfItsSizeAndAnInodePer16KiB)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    // In thousandths of the size: the inode tables, the 4 MiB journal (from 128 MiB up) and
    // what the file system keeps for itself are the rest. The journal costs 1 GB a little
    // more than 0.4 %.
    for (const auto &[bytes, perMille] : {std::pair{64000000ULL, 965ULL}, std::pair{256000000ULL, 960ULL},
                                          std::pair{1000000000ULL, 975ULL}, std::pair{2000000000ULL, 980ULL}}) {
        SCOPED_TRACE(bytes);
        MountedRamDisk r(bytes);
        ASSERT_TRUE(r.mounted) << r.error.toStdString();
        const struct statvfs sv = r.stat();
        EXPECT_GE(quint64(sv.f_bavail) * sv.f_frsize, bytes * perMille / 1000);
        EXPECT_EQ(sv.f_frsize, QMFormatRules::kBlockSize);
        EXPECT_GE(quint64(sv.f_files), bytes / QMFormatRules::kBytesPerInode);
        // The mount set the file system's own reserve as the format's rule says.
        EXPECT_EQ(r.reservedBlocks(), QMFormatRules::reservedBlocks(bytes / QMFormatRules::kBlockSize));
        // A journal keeps ext4 from passing over every recently freed inode on each create.
        EXPECT_EQ(QFileInfo::exists(QStringLiteral("/proc/fs/jbd2/%1-8").arg(r.disk.device().mid(5))),
                  bytes >= 32 * QMFormatRules::kJournalBlocks * QMFormatRules::kBlockSize);
    }
}

TEST(DiskToolLoopCapacity, TheInodesAskedForAreGivenUpToTheMostTheDeviceTakes)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    const quint64 bytes = 256000000ULL;
    const quint64 most = QMFormatRules::maxInodeCount(bytes);
    // Below the default the default stands; above it the count asked for; and the edge.
    for (const quint64 asked : {quint64(100), quint64(25000), most}) {
        SCOPED_TRACE(asked);
        MountedRamDisk r(bytes, {QStringLiteral("-N"), QString::number(asked)});
        ASSERT_TRUE(r.mounted) << r.error.toStdString();
        const struct statvfs sv = r.stat();
        EXPECT_GE(quint64(sv.f_files), std::max(asked, bytes / QMFormatRules::kBytesPerInode));
        // Room for the files themselves still: the inode tables take at most a 32nd.
        EXPECT_GE(quint64(sv.f_bavail) * sv.f_frsize, bytes * 94 / 100);
    }
}
