// Nothing lost when the machine goes: the helper holds logind's delay lock only while a
// mounted RAM disk has a backup, and on the announcement saves it before letting go.
#include "HelperSaveGuard.h"
#include "QMHelperTestSupport.h"
#include "QMLogindStandIn.h"
#include "QMRamDiskAutoSave.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMShutdownInhibitor.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

namespace {

class HelperSaveGuardTest : public LogindStandInTest
{
protected:
    QMRamDisk::Ptr mounted(const QString &name, qint64 backupMode = 0)
    {
        return QMHelperTest::mounted(_sandbox, name, backupMode);
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
    HelperSaveGuard guard(&entries, new QMShutdownInhibitor(bus()));
    // A lock the guard asked for has reached logind once logind answered a later question.
    ASSERT_TRUE(logindCaughtUp());
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

// A save that outlasts its bound does not hold the shutdown: the caller goes on when the
// bound passes, the save goes on to its end, and the caller is not told twice.
TEST_F(HelperSaveGuardTest, ASaveLongerThanItsBoundLetsTheShutdownGoOnAndStillEnds)
{
    QM_REQUIRE_LOOP_DEVICES();
    QFile::remove(QMRamDiskEntries::defaultEntriesFilePath());
    const QMRamDisk::Ptr slow = mounted(QStringLiteral("Slow"), QMRamDiskBackupMode_defaultLocation);
    const QByteArray data(96 * 1024 * 1024, 'S');
    {
        QFile big(slow->path() + QStringLiteral("/big"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        ASSERT_EQ(big.write(data), data.size());
    }
    ASSERT_TRUE(QMHelperTest::writeEntries({slow}, true));
    QMRamDiskEntries entries;
    entries.readRamDisksFromDefaultLocation();
    HelperSaveGuard guard(&entries, new QMShutdownInhibitor(bus()));

    int told = 0;
    guard.saveAllThen([&] { ++told; }, 1);
    ASSERT_TRUE(QMTest::waitUntil([&] { return told == 1; }, 10000));
    EXPECT_TRUE(guard.schedule()->isSavingAll()) << "the save had ended: the bound was not what let it go";
    ASSERT_TRUE(QMTest::waitUntil([&] { return !guard.schedule()->isSavingAll(); }, 120000));
    EXPECT_EQ(told, 1);
    EXPECT_FALSE(slow->lastError());
    EXPECT_EQ(QFileInfo(slow->backupDirPath() + QStringLiteral("/big")).size(), data.size());
}
