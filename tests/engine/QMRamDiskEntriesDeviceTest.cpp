// The entries store over real RAM disks (root with loop devices): actions through the
// store, the refresh of records, and the migration of entries of the older format.
#include "QMKeyedArchiver.h"
#include "QMPropertyListSerialization.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskEntries.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <condition_variable>
#include <mutex>

using namespace QMEngineTest;

namespace {

// Records every report the store forwards, and the refresh's findings.
class StoreDelegate : public QMRamDiskEntriesDelegate
{
public:
    void ramDiskEntries(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk) override
    {
        std::lock_guard lock(mutex);
        reports << qMakePair(ramDisk->action(), ramDisk->lastActionInfo());
        if (ramDisk->action() == 0)
            ended = true;
        cv.notify_all();
    }
    void ramDiskEntriesUpdator(QMRamDiskEntries *, const QMRamDisk::Ptr &ramDisk) override
    {
        std::lock_guard lock(mutex);
        refreshed << ramDisk->identifier();
    }
    bool waitForEnd()
    {
        std::unique_lock lock(mutex);
        // Only a guard against a hung action.
        const bool ok = cv.wait_for(lock, std::chrono::minutes(5), [this] { return ended; });
        ended = false;
        return ok;
    }

    std::mutex mutex;
    std::condition_variable cv;
    bool ended = false;
    QList<QPair<qint64, qint64>> reports;
    QStringList refreshed;
};

// Runs the event loop until `done` holds (or a guard against hangs runs out).
template<typename F>
bool spinUntil(F done)
{
    QElapsedTimer guard;
    guard.start();
    while (!done() && guard.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return done();
}

TEST(QMRamDiskEntriesDevice, ActionsThroughTheStoreAndTheRefresh)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    StoreDelegate delegate;
    QMRamDiskEntries entries(&delegate);
    QMTemporaryDir fileDir;
    entries.setEntriesFilePath(fileDir.filePath(QStringLiteral("RamDiskEntries")));

    QMRamDisk::Ptr r = entries.addRamDisk();
    r->setMountDirectory(sandbox.mkdir(QStringLiteral("mnt")));
    r->setName(QStringLiteral("StoreDisk"));
    r->setSize(128000000ULL);
    sandbox.watch(r);

    QStringList signalled;
    QObject receiver; // lives on this thread: the reports arrive queued
    QObject::connect(&entries, &QMRamDiskEntries::ramDiskDidUpdate, &receiver,
                     [&](const QString &id) { signalled << id; });

    entries.create(r, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_EQ(r->lastError(), nullptr) << r->lastError()->description().toStdString();
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(delegate.reports.first(), qMakePair(qint64(1), qint64(2)));
    EXPECT_EQ(delegate.reports.last(), qMakePair(qint64(0), qint64(2)));
    // The Qt signal reaches this (main) thread queued, once per report.
    ASSERT_TRUE(spinUntil([&] { return signalled.size() == delegate.reports.size(); }));
    EXPECT_EQ(signalled.first(), r->identifier());

    // What is saved now comes back mounted.
    ASSERT_TRUE(entries.writeRamDisksToDefaultLocation());
    QMRamDiskEntries reader;
    reader.setEntriesFilePath(entries.entriesFilePath());
    ASSERT_TRUE(reader.readRamDisksFromDefaultLocation());
    EXPECT_EQ(reader.ramDisks().first()->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(reader.ramDisks().first()->path(), r->path());

    // Unmounted behind the store's back: the refresh finds the device without a volume.
    const QString mounted = r->path();
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), mounted}), 0);
    entries.setUpdator(true);
    EXPECT_TRUE(entries.isUpdatorRunning());
    ASSERT_TRUE(spinUntil([&] {
        std::lock_guard lock(delegate.mutex);
        return !delegate.refreshed.isEmpty();
    }));
    entries.setUpdator(false);
    EXPECT_EQ(r->status(), QMRamDiskStatus_created);

    entries.startAction(QMRamDiskAction_remount, r, false);
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(r->path(), mounted);

    entries.eject(r, false);
    EXPECT_EQ(r->lastError(), nullptr);
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_FALSE(entries.hasRunningAction());
}

TEST(QMRamDiskEntriesDevice, OlderEntriesFindTheirVolumeByUuidOrDeviceNumber)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    QMRamDiskEntries entries;
    QMTemporaryDir fileDir;
    const QString path = fileDir.filePath(QStringLiteral("RamDiskEntries"));

    QMRamDisk::Ptr a = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("a")), QStringLiteral("OldA"));
    QMRamDisk::Ptr b = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("b")), QStringLiteral("OldB"));
    entries.create(a, false);
    entries.create(b, false);
    ASSERT_EQ(a->status(), QMRamDiskStatus_mounted);
    ASSERT_EQ(b->status(), QMRamDiskStatus_mounted);

    const auto devices = QMRamDiskDevice::deviceList(true, nullptr);
    ASSERT_TRUE(devices);
    QVariantMap devA, devB;
    for (const QVariantMap &d : *devices) {
        if (d.value(QStringLiteral("devNode")).toString() == a->deviceNode())
            devA = d;
        if (d.value(QStringLiteral("devNode")).toString() == b->deviceNode())
            devB = d;
    }
    ASSERT_FALSE(devA.value(QStringLiteral("uuid")).toString().isEmpty());
    ASSERT_TRUE(devB.contains(QStringLiteral("st_dev")));

    // Entries of the older format: no path, no device node, only the volume's identity.
    auto old = [](const QString &id, const QString &key, const QVariant &value) {
        return QVariant::fromValue(QMKeyedArchiver::Object{
            QStringLiteral("QMRamDiskEntry"), {},
            {{QStringLiteral("identifier"), id}, {QStringLiteral("name"), QStringLiteral("old")}, {key, value}}});
    };
    const QByteArray archive = QMKeyedArchiver::archivedDataWithRootObject(QVariantList{
        old(QStringLiteral("MIGRATED-A"), QStringLiteral("uuid"), devA.value(QStringLiteral("uuid"))),
        old(QStringLiteral("MIGRATED-B"), QStringLiteral("devUUID"), devB.value(QStringLiteral("st_dev")).toLongLong()),
        old(QStringLiteral("NOWHERE"), QStringLiteral("uuid"), QStringLiteral("00000000-0000-0000-0000-000000000000"))});
    ASSERT_TRUE(QMPropertyListSerialization::writeFileAtomically(path, QVariantMap{{QStringLiteral("RamDiskEntries"), archive}},
                                                                 QMPropertyListSerialization::Format::Xml));
    entries.setEntriesFilePath(path);
    ASSERT_TRUE(entries.readRamDisksFromDefaultLocation());
    ASSERT_EQ(entries.count(), 3);

    const auto migratedA = entries.ramDiskWithIdentifier(QStringLiteral("MIGRATED-A"));
    const auto migratedB = entries.ramDiskWithIdentifier(QStringLiteral("MIGRATED-B"));
    sandbox.watch(migratedA);
    sandbox.watch(migratedB);
    EXPECT_EQ(migratedA->deviceNode(), a->deviceNode());
    EXPECT_EQ(migratedA->path(), a->path());
    EXPECT_EQ(migratedA->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(migratedB->deviceNode(), b->deviceNode());
    EXPECT_EQ(migratedB->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(entries.ramDiskWithIdentifier(QStringLiteral("NOWHERE"))->status(), QMRamDiskStatus_notCreated);

    // The volume now carries the migrated identity, so the record keeps finding it.
    QVariantMap infos;
    ASSERT_TRUE(QMRamDiskDevice::getExtentedRamDiskInfos(&infos, a->path()));
    EXPECT_EQ(infos.value(QStringLiteral("identifier")).toString(), QStringLiteral("MIGRATED-A"));
    EXPECT_EQ(infos.value(QStringLiteral("deviceNode")).toString(), a->deviceNode());

    entries.eject(migratedA, false);
    entries.eject(migratedB, false);
    EXPECT_EQ(migratedA->lastError(), nullptr);
    EXPECT_EQ(migratedB->lastError(), nullptr);
}

} // namespace
