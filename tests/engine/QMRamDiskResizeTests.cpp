// A mounted RAM disk changes its size in place where its device can (a memory instance);
// the record follows the volume, and a loop device is refused with the reason.

#include "QMRamDisk.h"
#include "QMRamDiskManager.h"
#include "QMRamDiskTestSupport.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

using namespace QMEngineTest;

TEST(QMRamDiskResize, AMountedMemoryInstanceGrowsAndShrinksInPlaceAndTheRecordFollows)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Growing"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    const QString path = r->path();
    const QString device = r->deviceNode();
    const QByteArray contents(3000000, 'q');
    ASSERT_TRUE(writeFile(path + QStringLiteral("/kept.bin"), contents));
    EXPECT_TRUE(r->canResizeInPlace());

    for (const quint64 size : {512000000ULL, 256000000ULL}) {
        SCOPED_TRACE(size);
        delegate.clear();
        r->setResizeTarget(size);
        r->performAction(QMRamDiskAction_resize, &delegate, false);
        EXPECT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
        EXPECT_EQ(delegate.infos(), (QList<qint64>{13, 13}));
        EXPECT_EQ(r->size(), size);
        // The volume itself has the new size, whole pages: the refresh read it back.
        EXPECT_GE(r->volSize(), size);
        EXPECT_LT(r->volSize(), size + 4096);
        EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
        EXPECT_EQ(r->path(), path);
        EXPECT_EQ(r->deviceNode(), device);
        EXPECT_EQ(readFile(path + QStringLiteral("/kept.bin")), contents);
    }

    // Below the smallest RAM disk: refused before the tool runs, the record as it was.
    delegate.clear();
    r->setResizeTarget(64000000ULL);
    r->performAction(QMRamDiskAction_resize, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_EQ(r->lastError()->message(), QStringLiteral("Please, specify a correct size of RamDisk"));
    EXPECT_EQ(delegate.infos(), (QList<qint64>{13}));
    EXPECT_EQ(r->size(), 256000000ULL);
    EXPECT_GE(r->volSize(), 256000000ULL);

    r->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(r->canResizeInPlace());
}

TEST(QMRamDiskResize, ALoopDeviceIsRefusedWithTheReasonAndKeepsItsSize)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    LoopRealisation loop;
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Fixed"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << (error ? error->description().toStdString() : "");
    const quint64 volSize = r->volSize();
    EXPECT_FALSE(r->canResizeInPlace());

    delegate.clear();
    r->setResizeTarget(256000000ULL);
    r->performAction(QMRamDiskAction_resize, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->message().contains(QStringLiteral("eject it"))) << r->lastError()->message().toStdString();
    EXPECT_EQ(delegate.infos(), (QList<qint64>{13}));
    EXPECT_EQ(r->size(), 128000000ULL);
    r->update();
    EXPECT_EQ(r->volSize(), volSize);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
}

TEST(QMRamDiskResize, TheSizeRulesAreACreationsAndLeaveRoomForWhatTheVolumeHolds)
{
    QString message;
    EXPECT_TRUE(QMRamDiskManager::canResizeToSize(256000000ULL, 0, &message));
    EXPECT_FALSE(QMRamDiskManager::canResizeToSize(QMRamDiskManager::minimumSize - 1, 0, &message));
    // What it holds and 1 % more.
    EXPECT_TRUE(QMRamDiskManager::canResizeToSize(256000000ULL, 253465346ULL, &message));
    EXPECT_FALSE(QMRamDiskManager::canResizeToSize(256000000ULL, 253465347ULL, &message));
    EXPECT_EQ(message, QStringLiteral("The RamDisk holds more than that size leaves room for."));

    // One step grows to the next of 256 MB, 512 MB, 1 GB... within the machine's memory.
    EXPECT_EQ(QMRamDiskManager::nextSizeStep(128000000ULL), 256000000ULL);
    EXPECT_EQ(QMRamDiskManager::nextSizeStep(256000000ULL), 512000000ULL);
    EXPECT_EQ(QMRamDiskManager::nextSizeStep(300000000ULL), 512000000ULL);
    EXPECT_EQ(QMRamDiskManager::nextSizeStep(QMRamDiskManager::maximumSize), 0u);
}
