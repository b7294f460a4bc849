// What is at a RAM disk's place: its own volume left behind (adopted), another RAM disk
// (left alone).
#include "QMRamDisk.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace QMEngineTest;

namespace {

int attachedDevices()
{
    const auto devices = QMRamDiskDevice::deviceList(false, nullptr);
    return devices ? int(devices->size()) : -1;
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
    QVariantMap coder;
    first->encodeWithCoder(&coder);
    coder.remove(QStringLiteral("path"));
    coder.remove(QStringLiteral("deviceNode"));
    coder.insert(QStringLiteral("status"), qint64(0));
    QMRamDisk::Ptr again = QMRamDisk::initWithCoder(coder);
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
