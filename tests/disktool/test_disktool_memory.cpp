// Deleting files gives their memory back while the volume stays mounted: a memory instance
// at once, a loop device through its trim keeper, which ends with the mount.

#include "DiskToolTestSupport.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

#include <unistd.h>

using namespace DiskToolTest;

namespace {

// Whether the process that trims a device's mount runs (it carries the device in its name).
bool keeperRuns(const QString &device)
{
    const QByteArray name = "qmtrim-" + device.mid(5).toLatin1() + '\n';
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll() == name)
            return true;
    }
    return false;
}

} // namespace

TEST(DiskToolLoopMemory, DeletedFilesGiveTheirMemoryBackWhileMountedAndTheTrimmerEndsWithTheMount)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    MountedRamDisk r(400000000ULL);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    const QString device = r.disk.device();
    EXPECT_TRUE(QMTest::waitUntil([&] { return keeperRuns(device); }, 30000));

    // Measured on the device itself (what it wrote into its memory file and punched out of
    // it again), so that other programs using memory do not disturb it. Twice: the keeper's
    // first trim, whenever it comes, gives the first round back; the second needs a later one.
    constexpr quint64 kWritten = 200ULL * 1024 * 1024;
    QByteArray chunk(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 31 + 7);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const LoopTraffic before = loopTrafficOf(device);
        for (int i = 0; i < int(kWritten / chunk.size()); ++i) {
            QFile f(r.dir.path() + QStringLiteral("/file%1").arg(i));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            ASSERT_EQ(f.write(chunk), chunk.size());
        }
        sync();
        const LoopTraffic full = loopTrafficOf(device);
        // The memory file holds the data now.
        ASSERT_GE(full.written, before.written + kWritten);

        for (const QString &name : QDir(r.dir.path()).entryList(QDir::Files))
            ASSERT_TRUE(QFile::remove(r.dir.path() + QLatin1Char('/') + name));
        // Given back without unmounting: waited for, the budget only guards against a keeper
        // that never trims.
        EXPECT_TRUE(QMTest::waitUntil([&] { return loopTrafficOf(device).discarded >= full.discarded + kWritten; }, 60000))
            << "discarded before the delete " << full.discarded << ", now " << loopTrafficOf(device).discarded;
    }

    const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), r.dir.path()});
    ASSERT_EQ(umount.status, 0) << umount.err.toStdString();
    EXPECT_TRUE(QMTest::waitUntil([&] { return !keeperRuns(device); }, 30000));
}
