// The engine refuses what a RAM disk's status does not allow, whoever asks, and its
// refresh leaves the disk tools alone for a device that is gone.
#include "QMRamDisk.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/mount.h>

using namespace QMEngineTest;

namespace {

// Runs `action` on this thread and returns its reports.
QList<RecordingDelegate::Report> run(const QMRamDisk::Ptr &r, qint64 action)
{
    RecordingDelegate delegate;
    r->performAction(action, &delegate, false);
    if (action == QMRamDiskAction_copyToBase || action == QMRamDiskAction_backup
        || action == QMRamDiskAction_rebuild) {
        EXPECT_TRUE(delegate.waitForEnd(120));
    }
    return delegate.reports();
}

// One final report whose error ends with `condition`, and nothing else happened.
void expectRefused(const QMRamDisk::Ptr &r, qint64 action, const char *condition)
{
    SCOPED_TRACE(::testing::Message() << "action " << action);
    const auto reports = run(r, action);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports.first().action, 0);
    ASSERT_TRUE(reports.first().error);
    EXPECT_TRUE(reports.first().error->reason().endsWith(QString::fromLatin1(condition)))
        << reports.first().error->reason().toStdString();
    EXPECT_EQ(r->lastError(), reports.first().error);
    EXPECT_EQ(r->action(), 0);
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

TEST(QMRamDiskStatusRules, NotCreatedAllowsOnlyCreateEjectAndRebuild)
{
    QMTemporaryDir place(QMTest::testHome() + QStringLiteral("/place-XXXXXX"));
    ASSERT_TRUE(place.isValid());
    QMRamDisk::Ptr r = QMRamDisk::create();
    r->setMountDirectory(place.path());
    r->setBackupMode(QMRamDiskBackupMode_baseSynchronized);
    // A directory of the user's where the volume would be, and a stale path to it.
    const QString base = place.path() + QStringLiteral("/RamDisk");
    ASSERT_TRUE(QDir().mkpath(base));
    ASSERT_TRUE(writeFile(base + QStringLiteral("/mine.txt"), "mine"));
    r->setPath(base);
    r->setStatus(QMRamDiskStatus_mounted);

    expectRefused(r, QMRamDiskAction_remount, "status!=created");
    expectRefused(r, QMRamDiskAction_backup, "status!=mounted");
    expectRefused(r, QMRamDiskAction_copyToBase, "status!=mounted");
    expectRefused(r, QMRamDiskAction_cleanUpFiles, "status!=mounted");
    // Nothing was copied from or over the user's directory, nothing deleted from it.
    EXPECT_EQ(entriesOf(place.path()), QStringList{QStringLiteral("RamDisk")});
    EXPECT_EQ(entriesOf(base), QStringList{QStringLiteral("mine.txt")});

    // Eject of a RAM disk that is not there ends at once, successfully.
    const auto reports = run(r, QMRamDiskAction_eject);
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_FALSE(reports.last().error);
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);

    // Copy to base is only for a RAM disk that has one.
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    expectRefused(r, QMRamDiskAction_copyToBase, "isBaseSynchronized==NO");
}

TEST(QMRamDiskStatusRules, MountedAndUnmountedVolumes)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Rules"));
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    ASSERT_TRUE(run(r, QMRamDiskAction_create).last().error == nullptr);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    const QString path = r->path();
    const QString device = r->deviceNode();
    ASSERT_TRUE(writeFile(path + QStringLiteral("/a.txt"), "a"));

    // Mounted: no second creation, no remount; the volume and its device stay as they are.
    expectRefused(r, QMRamDiskAction_create, "status==mounted");
    expectRefused(r, QMRamDiskAction_remount, "status==mounted");
    EXPECT_EQ(r->deviceNode(), device);
    EXPECT_EQ(readFile(path + QStringLiteral("/a.txt")), QByteArray("a"));
    const auto backup = run(r, QMRamDiskAction_backup);
    ASSERT_FALSE(backup.isEmpty());
    EXPECT_FALSE(backup.last().error);
    const QString backupDir = r->backupDirPath();
    EXPECT_EQ(readFile(backupDir + QStringLiteral("/a.txt")), QByteArray("a"));

    // Unmounted from outside: the device keeps the files, and the empty mount directory is
    // never taken for them. (A system call, not a child process: the backup's thread may
    // still be ending, and ThreadSanitizer cannot follow a fork beside it.)
    ASSERT_EQ(::umount2(QFile::encodeName(path).constData(), 0), 0);
    expectRefused(r, QMRamDiskAction_backup, "status!=mounted");
    expectRefused(r, QMRamDiskAction_cleanUpFiles, "status!=mounted");
    EXPECT_EQ(entriesOf(backupDir), QStringList{QStringLiteral("a.txt")});
    EXPECT_EQ(r->status(), QMRamDiskStatus_created);

    // Creating it again mounts the same device: nothing is attached twice.
    const auto again = run(r, QMRamDiskAction_create);
    ASSERT_FALSE(again.isEmpty());
    EXPECT_FALSE(again.last().error);
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(r->deviceNode(), device);
    EXPECT_EQ(readFile(path + QStringLiteral("/a.txt")), QByteArray("a"));

    const auto eject = run(r, QMRamDiskAction_eject);
    ASSERT_FALSE(eject.isEmpty());
    EXPECT_FALSE(eject.last().error);
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
}

TEST(QMRamDiskStatusRules, TheRefreshRunsNoToolForADeviceThatIsGone)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Gone"));
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(nullptr, &error));
    const QString path = r->path();
    const QString device = r->deviceNode();

    // Unmounted and detached behind the engine's back.
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), path}), 0);
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}), 0);
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(device), 0);

    ToolWrappers tools({QStringLiteral("hdiutil"), QStringLiteral("mount"), QStringLiteral("umount")});
    EXPECT_TRUE(r->update());
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_TRUE(r->path().isNull()); // the dead path is forgotten
    EXPECT_EQ(r->deviceNode(), device);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(r->update());
    EXPECT_EQ(tools.log(), QStringList());
}

TEST(QMRamDiskStatusRules, AttachedDevicesAreToldFromSysfs)
{
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(QStringLiteral("/dev/disk4")), -1);
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(QStringLiteral("/dev/loop")), -1);
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(QStringLiteral("/dev/loop1/../sda")), -1);
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(QStringLiteral("/dev/loop987654")), 0);
}
