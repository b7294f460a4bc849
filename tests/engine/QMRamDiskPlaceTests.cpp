// What is at a RAM disk's place: its own volume left behind (adopted), another RAM disk
// (left alone), and programs still using the volume when it is ejected.
#include "QMRamDisk.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"
#include "QMVolumeHolders.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

using namespace QMEngineTest;

namespace {

int attachedDevices()
{
    const auto devices = QMRamDiskDevice::deviceList(false, nullptr);
    return devices ? int(devices->size()) : -1;
}

// A program that keeps a file of the volume open (and its working directory there).
class Holder
{
public:
    explicit Holder(const QString &directory)
    {
        _process.setWorkingDirectory(directory);
        _process.start(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), QStringLiteral("exec 3>>held.log; echo ready; exec sleep 60")});
        _process.waitForReadyRead(10000);
    }
    ~Holder() { stop(); }
    qint64 pid() const { return _process.processId(); }
    void stop()
    {
        if (_process.state() == QProcess::NotRunning)
            return;
        _process.kill();
        _process.waitForFinished();
    }

private:
    QProcess _process;
};

// The same record as a program knows it that never heard it was created (its creation
// was killed after mounting): no path, no device, not created.
QMRamDisk::Ptr asNeverToldItWasMounted(const QMRamDisk::Ptr &ramDisk)
{
    QVariantMap coder;
    ramDisk->encodeWithCoder(&coder);
    coder.remove(QStringLiteral("path"));
    coder.remove(QStringLiteral("deviceNode"));
    coder.insert(QStringLiteral("status"), qint64(0));
    return QMRamDisk::initWithCoder(coder);
}

} // namespace

TEST(QMRamDiskPlace, ItsOwnVolumeIsAdoptedAnotherRamDiskIsLeftAlone)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr first = sandbox.makeRamDisk(mountDir, QStringLiteral("Place"));
    QMError::Ptr error;
    ASSERT_TRUE(first->createWithDelegate(nullptr, &error));
    const QString path = first->path();
    const QString device = first->deviceNode();
    ASSERT_TRUE(writeFile(path + QStringLiteral("/work.txt"), "work"));
    const int devices = attachedDevices();

    // Another record for the same place: refused, saying what is there; nothing of the
    // first is touched and nothing is left attached.
    QMRamDisk::Ptr second = sandbox.makeRamDisk(mountDir, QStringLiteral("Place"));
    EXPECT_FALSE(second->createWithDelegate(nullptr, &error));
    ASSERT_TRUE(error);
    QString chain;
    for (QMError::Cause c = error->depends(); !c.isNull();) {
        chain += c.localizedDescription() + QLatin1Char('\n');
        c = c.kind() == QMError::Cause::Kind::Error ? c.error()->depends() : QMError::Cause();
    }
    EXPECT_TRUE(chain.contains(QStringLiteral("%1 holds another RAM disk of Quilmo (device %2, RAM disk %3) with 1 item(s)")
                                   .arg(path, device, first->identifier())))
        << chain.toStdString();
    EXPECT_EQ(QMRamDiskDevice::deviceNodeFromPath(path, nullptr), device);
    EXPECT_EQ(readFile(path + QStringLiteral("/work.txt")), QByteArray("work"));
    EXPECT_EQ(attachedDevices(), devices);
    EXPECT_NE(second->status(), QMRamDiskStatus_mounted);

    // The same RAM disk as known to a program that never saw it created (its creation was
    // killed after mounting): taken back as it is, no second device.
    QMRamDisk::Ptr again = asNeverToldItWasMounted(first);
    sandbox.watch(again);
    ASSERT_TRUE(again->createWithDelegate(nullptr, &error)) << (error ? error->description().toStdString() : "");
    EXPECT_FALSE(error);
    EXPECT_EQ(again->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(again->path(), path);
    EXPECT_EQ(again->deviceNode(), device);
    EXPECT_FALSE(again->lastWarning().isEmpty());
    EXPECT_EQ(attachedDevices(), devices);
    EXPECT_EQ(readFile(path + QStringLiteral("/work.txt")), QByteArray("work"));

    RecordingDelegate delegate;
    again->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(again->lastError());
}

TEST(QMRamDiskPlace, AnAdoptedVolumeNeverReplacesTheCompleteBackupUnasked)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr first = sandbox.makeRamDisk(mountDir, QStringLiteral("Kept"));
    first->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    QMError::Ptr error;
    ASSERT_TRUE(first->createWithDelegate(nullptr, &error));
    ASSERT_TRUE(writeFile(first->path() + QStringLiteral("/a.txt"), "complete"));
    RecordingDelegate delegate;
    first->performAction(QMRamDiskAction_backup, &delegate, false);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(first->lastError());
    const QString backup = first->backupDirPath();

    // The volume as a creation killed half way through its restore leaves it: part of the
    // copy is missing, and the record never heard it was mounted.
    ASSERT_TRUE(QFile::remove(first->path() + QStringLiteral("/a.txt")));
    QMRamDisk::Ptr again = asNeverToldItWasMounted(first);
    sandbox.watch(again);
    ASSERT_TRUE(again->createWithDelegate(nullptr, &error));
    EXPECT_TRUE(again->contentsIncomplete());
    EXPECT_TRUE(again->lastWarning().contains(QStringLiteral("back it up"))) << again->lastWarning().toStdString();

    // Eject keeps it and the complete backup; an explicit backup, once the user confirmed
    // it, is the user's decision.
    again->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_TRUE(again->lastError());
    EXPECT_EQ(again->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(readFile(backup + QStringLiteral("/a.txt")), QByteArray("complete"));
    delegate.clear();
    again->setReplacesIncompleteCopy(true);
    again->performAction(QMRamDiskAction_backup, &delegate, false);
    ASSERT_TRUE(delegate.waitForEnd());
    EXPECT_FALSE(again->lastError());
    EXPECT_FALSE(again->contentsIncomplete());
    again->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(again->lastError());
}

TEST(QMRamDiskPlace, ABusyVolumeStaysMountedAfterItsBackupAndNamesItsHolder)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Busy"));
    r->setBackupMode(QMRamDiskBackupMode_defaultLocation);
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(nullptr, &error));
    const QString path = r->path();
    ASSERT_TRUE(writeFile(path + QStringLiteral("/a.txt"), "first"));

    Holder holder(path);
    ASSERT_GT(holder.pid(), 0);
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    const QMError::Ptr busy = r->lastError();
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->message(), QStringLiteral("Unable to eject disk"));
    EXPECT_TRUE(busy->reason().endsWith(QStringLiteral("volumeIsBusy")));
    EXPECT_EQ(busy->depends().text(),
              QStringLiteral("The volume %1 is in use by sleep (pid %2). Quit them or close their files, then eject again.")
                  .arg(path)
                  .arg(holder.pid()));

    // Still mounted where it was, and the backup made before is whole.
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(r->path(), path);
    EXPECT_EQ(readFile(r->backupDirPath() + QStringLiteral("/a.txt")), QByteArray("first"));
    // The program goes on writing to the real volume, not to one that was pulled away.
    ASSERT_TRUE(writeFile(path + QStringLiteral("/b.txt"), "later"));

    holder.stop();
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << r->lastError()->description().toStdString();
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
    EXPECT_EQ(readFile(r->backupDirPath() + QStringLiteral("/b.txt")), QByteArray("later"));
}

TEST(QMRamDiskPlace, OnlyTheForcedEjectTakesABusyVolumeAndSaysSo)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Forced"));
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(nullptr, &error));
    const QString path = r->path();
    Holder holder(path);

    QString warning;
    EXPECT_TRUE(QMRamDiskDevice::ejectRamDiskDeviceNode(r->deviceNode(), path, false, false, &warning));
    EXPECT_TRUE(warning.isEmpty());
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(path), QMMountStateMounted);

    EXPECT_FALSE(QMRamDiskDevice::forceEjectRamDiskAtPath(path, &warning));
    EXPECT_EQ(warning, QStringLiteral("The volume %1 was in use by sleep (pid %2); it was ejected anyway, and what "
                                      "they write to it from now on is lost")
                           .arg(path)
                           .arg(holder.pid()));
    EXPECT_NE(QMRamDiskDevice::hasMountedVolumeAtPath(path), QMMountStateMounted);
    // The device goes once its last user lets go.
    holder.stop();
    for (int i = 0; i < 200 && QMRamDiskDevice::isDeviceAttached(r->deviceNode()) == 1; ++i)
        QThread::msleep(10);
    EXPECT_EQ(QMRamDiskDevice::isDeviceAttached(r->deviceNode()), 0);
    r->update();
    EXPECT_EQ(r->status(), QMRamDiskStatus_notCreated);
}

TEST(QMRamDiskPlace, HoldersAreFoundByDirectoryOpenFileAndMapping)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("volumes"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Held"));
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(nullptr, &error));
    const QString path = r->path();
    EXPECT_TRUE(QMVolumeHolders::holdersOfVolumeAtPath(path).isEmpty());

    // An open file only, the working directory elsewhere.
    ASSERT_TRUE(writeFile(path + QStringLiteral("/data"), "x"));
    QProcess reader;
    reader.start(QStringLiteral("/bin/sh"),
                 {QStringLiteral("-c"), QStringLiteral("exec 4<'%1/data'; cd /; echo ready; exec sleep 60").arg(path)});
    ASSERT_TRUE(reader.waitForReadyRead(10000));
    // A copy of a program run from the volume: its executable and mapping.
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), path + QStringLiteral("/napper")));
    QProcess napper;
    napper.setWorkingDirectory(QStringLiteral("/"));
    napper.start(path + QStringLiteral("/napper"), {QStringLiteral("60")});
    ASSERT_TRUE(napper.waitForStarted());
    ASSERT_TRUE(QMTest::waitUntilRunning(napper.processId(), path + QStringLiteral("/napper")));

    const QList<QMVolumeHolders::Holder> holders = QMVolumeHolders::holdersOfVolumeAtPath(path);
    EXPECT_EQ(holders, (QList<QMVolumeHolders::Holder>{{pid_t(reader.processId()), QStringLiteral("sleep")},
                                                       {pid_t(napper.processId()), QStringLiteral("napper")}}));
    EXPECT_EQ(QMVolumeHolders::describe(holders), QStringLiteral("sleep (pid %1), napper (pid %2)")
                                                      .arg(reader.processId())
                                                      .arg(napper.processId()));
    reader.kill();
    napper.kill();
    reader.waitForFinished();
    napper.waitForFinished();
    EXPECT_TRUE(QMVolumeHolders::holdersOfVolumeAtPath(path).isEmpty());
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(r->lastError());
}
