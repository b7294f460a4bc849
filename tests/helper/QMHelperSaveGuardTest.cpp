// Nothing lost when the machine goes: the helper holds logind's delay lock only while a
// mounted RAM disk has a backup, and on the announcement saves it before letting go.
#include "HelperSaveGuard.h"
#include "QMHelperTestSupport.h"
#include "QMLogindStandIn.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMShutdownInhibitor.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>

namespace {

class HelperSaveGuardTest : public LogindStandInTest
{
protected:
    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode)
    {
        QMRamDisk::Ptr r = _sandbox.makeRamDisk(_sandbox.mkdir(QStringLiteral("mnt")), name);
        r->setBackupMode(backupMode);
        QMEngineTest::RecordingDelegate delegate;
        r->performAction(QMRamDiskAction_create, &delegate, false);
        EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
        return r;
    }

    QMEngineTest::RamDiskSandbox _sandbox;
};

} // namespace

TEST_F(HelperSaveGuardTest, TheLockIsHeldOnlyForABackedUpRamDiskWhichIsSavedBeforeTheShutdown)
{
    QM_REQUIRE_LOOP_DEVICES();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    const QMRamDisk::Ptr plain = mounted(QStringLiteral("Plain"), QMRamDiskBackupMode_disabled);
    ASSERT_TRUE(QMHelperTest::writeEntries({plain}, true));
    QMRamDiskEntries entries;
    entries.readRamDisksFromDefaultLocation();
    HelperSaveGuard guard(&entries, new QMShutdownInhibitor(QDBusConnection::sessionBus()));
    QMTest::waitUntil([] { return false; }, 300);
    EXPECT_FALSE(guard.isGuarding());
    EXPECT_TRUE(logind.locks.isEmpty()) << "nothing to save, nothing to hold the machine for";

    const QMRamDisk::Ptr kept = mounted(QStringLiteral("Kept"), QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(QMHelperTest::writeEntries({plain, kept}, true));
    entries.readRamDisksFromDefaultLocation();
    ASSERT_TRUE(QMTest::waitUntil([&] { return guard.inhibitor()->isHeld(); }));
    EXPECT_TRUE(guard.isGuarding());
    ASSERT_EQ(logind.locks.size(), 1);
    {
        QFile work(kept->path() + QStringLiteral("/work.txt"));
        ASSERT_TRUE(work.open(QIODevice::WriteOnly));
        work.write("written just before the shutdown");
    }

    emit logind.PrepareForShutdown(true);
    ASSERT_TRUE(QMTest::waitUntil([&] { return logind.isClosed(0); }, 60000)) << "the lock was never let go";
    EXPECT_EQ(QMEngineTest::readFile(kept->backupDirPath() + QStringLiteral("/work.txt")),
              QByteArray("written just before the shutdown"));
    EXPECT_FALSE(plain->lastError());

    // Cancelled: held again while the RAM disk stays mounted.
    emit logind.PrepareForShutdown(false);
    EXPECT_TRUE(QMTest::waitUntil([&] { return guard.inhibitor()->isHeld(); }));
}
