// Real RAM disks through quilmo-disktool: attach, format, mount, look up, list, remount
// refused over another tagged RAM disk, eject and force-eject. Needs root and loop devices.
#include "QMDeviceTestSupport.h"
#include "QMDiskToolPaths.h"
#include "QMFunctions.h"
#include "QMRamDiskDevice.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMVolumeCapacity.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

using namespace QMDeviceTest;

namespace {

// Releases a RAM disk whatever state the test left it in.
struct RamDiskGuard
{
    QString device;
    QString mountPoint;
    ~RamDiskGuard()
    {
        if (device.isEmpty())
            return;
        if (!mountPoint.isEmpty())
            umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
        QMTest::run(QMTest::libexecDir() + QStringLiteral("/hdiutil"), {QStringLiteral("detach"), device});
    }
};

class RamDiskEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QString why;
        if (!QMTest::canUseLoopDevices(&why))
            GTEST_SKIP() << why.toStdString();
        if (!QFileInfo(QMDiskToolPaths::pathForTool(QMDiskTool::Hdiutil)).isExecutable())
            GTEST_SKIP() << "quilmo-disktool is not built";
        ASSERT_TRUE(_dir.isValid());
    }

    // Attaches and formats a RAM disk of 16 MiB; its device node.
    QString newDevice(const QString &name)
    {
        QMError::Ptr error;
        const QString device = QMRamDiskDevice::attachDeviceWithSize(16 << 20, false, &error);
        EXPECT_FALSE(device.isEmpty());
        EXPECT_FALSE(error);
        if (device.isEmpty())
            return {};
        EXPECT_TRUE(QMRamDiskDevice::formatDeviceNode(device, name, 1, &error));
        return device;
    }

    // The memory file behind a loop device; empty when the device is not attached.
    static QString backingFile(const QString &device)
    {
        QFile f(QStringLiteral("/sys/block/%1/loop/backing_file").arg(QFileInfo(device).fileName()));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }

    // Whether the device is still the one attached with `backing`: loop device numbers are
    // reused at once by tests running beside this one.
    static bool attached(const QString &device, const QString &backing)
    {
        return !backing.isEmpty() && backingFile(device) == backing;
    }

    static bool listed(const QString &device)
    {
        const auto list = QMRamDiskDevice::deviceList(false, nullptr);
        if (!list)
            return false;
        for (const QVariantMap &r : *list) {
            if (r.value(QStringLiteral("devNode")).toString() == device)
                return true;
        }
        return false;
    }

    QMTemporaryDir _dir;
};

} // namespace

TEST_F(RamDiskEndToEnd, MountFindListAndEject)
{
    const QString name = QStringLiteral("Quilmo Test");
    const QString device = newDevice(name);
    ASSERT_FALSE(device.isEmpty());
    RamDiskGuard guard{device, _dir.filePath(name)};
    EXPECT_TRUE(QMRamDiskDevice::mountPointFromDeviceNode(device, nullptr).isNull()) << "attached, not mounted";

    // The mount directory already exists and holds only bookkeeping of the file browser.
    ASSERT_TRUE(QDir().mkpath(_dir.filePath(name)));
    QFile ds(_dir.filePath(name + QStringLiteral("/.DS_Store")));
    ASSERT_TRUE(ds.open(QIODevice::WriteOnly));
    ds.close();

    QString mounted;
    QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(device, _dir.path(), name, 1, 0, QStringLiteral("ID-1"), &mounted);
    ASSERT_FALSE(error) << error->description().toStdString();
    EXPECT_EQ(mounted, _dir.filePath(name));
    EXPECT_TRUE(QDir(mounted).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty())
        << "a fresh RAM disk holds nothing";

    EXPECT_EQ(QMRamDiskDevice::mountPointFromDeviceNode(device, &error), mounted);
    EXPECT_EQ(QMRamDiskDevice::deviceNodeFromPath(mounted, &error), device);
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(mounted), QMMountStateMounted);
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(_dir.path()), QMMountStateNone);
    QVariantMap tag;
    ASSERT_TRUE(QMRamDiskDevice::getExtentedRamDiskInfos(&tag, mounted));
    EXPECT_EQ(tag, (QVariantMap{{"identifier", "ID-1"}, {"deviceNode", device}}));

    const auto plain = QMRamDiskDevice::deviceList(false, &error);
    ASSERT_TRUE(plain.has_value());
    EXPECT_TRUE(plain->contains(QVariantMap{{"devNode", device}, {"mountPoint", mounted}}));
    const auto withIdentity = QMRamDiskDevice::deviceList(true, &error);
    ASSERT_TRUE(withIdentity.has_value());
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(mounted).constData(), &st), 0);
    bool found = false;
    for (const QVariantMap &r : *withIdentity) {
        if (r.value(QStringLiteral("devNode")).toString() != device)
            continue;
        found = true;
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"))
                        .match(r.value(QStringLiteral("uuid")).toString())
                        .hasMatch())
            << r.value(QStringLiteral("uuid")).toString().toStdString();
        EXPECT_EQ(r.value(QStringLiteral("st_dev")).toLongLong(), static_cast<qint32>(st.st_dev));
    }
    EXPECT_TRUE(found);

    // Force-eject of a plain directory does nothing; of the mount point it ejects, and the
    // mount directory that held only ".DS_Store" goes with it.
    const QString backing = backingFile(device);
    EXPECT_EQ(QMRamDiskDevice::forceEjectRamDiskAtPath(_dir.path()), nullptr);
    EXPECT_TRUE(attached(device, backing));
    error = QMRamDiskDevice::forceEjectRamDiskAtPath(mounted);
    EXPECT_FALSE(error);
    EXPECT_FALSE(attached(device, backing));
    EXPECT_FALSE(QFileInfo::exists(mounted));
}

TEST_F(RamDiskEndToEnd, MountingWhereATaggedRamDiskIsStillMountedLeavesIt)
{
    const QString name = QStringLiteral("Shared");
    const QString first = newDevice(name);
    ASSERT_FALSE(first.isEmpty());
    RamDiskGuard firstGuard{first, _dir.filePath(name)};
    QString mounted;
    ASSERT_FALSE(QMRamDiskDevice::mountDeviceNode(first, _dir.path(), name, 0, 0, QStringLiteral("OLD"), &mounted));
    QFile work(mounted + QStringLiteral("/work.txt"));
    ASSERT_TRUE(work.open(QIODevice::WriteOnly));
    work.write("unsaved");
    work.close();

    // Mounting the same device again where it already is only re-tags it.
    ASSERT_FALSE(QMRamDiskDevice::mountDeviceNode(first, _dir.path(), name, 0, 0, QStringLiteral("OLD"), &mounted));
    const QString firstBacking = backingFile(first);
    EXPECT_TRUE(attached(first, firstBacking));
    EXPECT_TRUE(listed(first));

    // Another device for the same place, of another record or of the same one: refused,
    // saying what is there; the RAM disk there stays mounted with its files.
    const QString second = newDevice(name);
    ASSERT_FALSE(second.isEmpty());
    RamDiskGuard secondGuard{second, QString()};
    for (const QString &identifier : {QStringLiteral("NEW"), QStringLiteral("OLD")}) {
        const QMError::Ptr error =
            QMRamDiskDevice::mountDeviceNode(second, _dir.path(), name, 0, 0, identifier, &mounted);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message(), QStringLiteral("Another volume is mounted"));
        EXPECT_EQ(error->depends().text(),
                  QStringLiteral("%1 holds another RAM disk of Quilmo (device %2, RAM disk OLD) with 1 item(s); "
                                 "it is left mounted as it is")
                      .arg(_dir.filePath(name), first));
        EXPECT_EQ(QMRamDiskDevice::deviceNodeFromPath(_dir.filePath(name), nullptr), first);
        EXPECT_TRUE(attached(first, firstBacking));
        EXPECT_TRUE(QFileInfo::exists(_dir.filePath(name) + QStringLiteral("/work.txt")));
    }
    EXPECT_TRUE(QMRamDiskDevice::mountPointFromDeviceNode(second, nullptr).isEmpty());

    // A user's file under the mount directory keeps it when the RAM disk is ejected.
    ASSERT_EQ(umount2(QFile::encodeName(mounted).constData(), 0), 0);
    QFile notes(mounted + QStringLiteral("/notes.txt"));
    ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
    notes.close();
    ASSERT_FALSE(QMRamDiskDevice::mountDeviceNode(second, _dir.path(), name, 0, 0, QStringLiteral("NEW"), &mounted));
    EXPECT_FALSE(QFileInfo::exists(mounted + QStringLiteral("/notes.txt"))) << "covered by the RAM disk";
    const QString secondBacking = backingFile(second);
    EXPECT_FALSE(QMRamDiskDevice::ejectRamDiskDeviceNode(second, mounted, true));
    EXPECT_TRUE(QFileInfo::exists(mounted + QStringLiteral("/notes.txt")));
    EXPECT_FALSE(attached(second, secondBacking));
}

TEST_F(RamDiskEndToEnd, WithoutADirectoryTheDiskUtilityMountsInTheDefaultPlace)
{
    const QString name = QStringLiteral("Quilmo Test %1").arg(QCoreApplication::applicationPid());
    const QString expected = QMRamDiskDevice::defaultVolumesDirectory() + QLatin1Char('/') + name;
    if (QFileInfo::exists(expected))
        GTEST_SKIP() << "something is in the way at " << expected.toStdString();
    const QString device = newDevice(name);
    ASSERT_FALSE(device.isEmpty());
    RamDiskGuard guard{device, expected};
    struct DirGuard { QString path; ~DirGuard() { QDir().rmdir(path); } } dirGuard{expected};

    QString mounted;
    const QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(device, QString(), name, 1, 0, QStringLiteral("ID"), &mounted);
    ASSERT_FALSE(error) << error->description().toStdString();
    EXPECT_EQ(mounted, expected);
    EXPECT_EQ(QMRamDiskDevice::deviceNodeFromPath(mounted, nullptr), device);

    // Once it has held data it is never erased to be mounted there again.
    ASSERT_EQ(umount2(QFile::encodeName(mounted).constData(), 0), 0);
    const QMError::Ptr again = QMRamDiskDevice::mountDeviceNode(device, QString(), name, 1, 0, QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->message(), QStringLiteral("Unable to erase and mount disk"));

    const QString backing = backingFile(device);
    EXPECT_FALSE(QMRamDiskDevice::ejectRamDiskDeviceNode(device, expected, true));
    EXPECT_FALSE(attached(device, backing));
}

// The creation's space check reads what a fresh volume holds from a rule that mirrors the
// disk tool's format: it must give the real inode count and never more bytes than are
// free, at sizes of one group and of several, with a last group the format cuts off, on
// both sides of the size that gets a journal, and with the inodes a creation asks for.
TEST_F(RamDiskEndToEnd, TheCapacityRuleMatchesWhatTheDiskToolFormats)
{
    const quint64 cutGroup = (32768ULL + 100) * 4096; // a last group of 100 blocks
    for (const auto &[size, inodes] :
         {std::pair{3000000ULL, 0ULL}, std::pair{128000000ULL, 0ULL}, std::pair{128000000ULL, 15000ULL},
          std::pair{134217728ULL - 512, 0ULL}, std::pair{134217728ULL, 0ULL}, // the journal's edge
          std::pair{cutGroup, 0ULL}, std::pair{cutGroup, 16000ULL}, std::pair{536870912ULL, 0ULL},
          std::pair{1000000000ULL, 0ULL}, std::pair{1000000000ULL, 122070ULL}}) {
        SCOPED_TRACE(QStringLiteral("%1 bytes, %2 inodes asked").arg(size).arg(inodes).toStdString());
        QMError::Ptr error;
        const QString device = QMRamDiskDevice::attachDeviceWithSize(size, false, &error);
        ASSERT_FALSE(device.isEmpty()) << (error ? error->description().toStdString() : "");
        RamDiskGuard guard{device, QString()};
        const QString name = QStringLiteral("Cap%1").arg(size);
        ASSERT_TRUE(QMRamDiskDevice::formatDeviceNode(device, name, 1, &error, inodes));
        QString mountPoint;
        ASSERT_FALSE(QMRamDiskDevice::mountDeviceNode(device, _dir.path(), name, 1, 0, QStringLiteral("ID-C"), &mountPoint));
        guard.mountPoint = mountPoint;
        struct statvfs sv {};
        ASSERT_EQ(statvfs(QFile::encodeName(mountPoint).constData(), &sv), 0);
        EXPECT_EQ(QMInodesForSize(size, inodes), sv.f_files);
        EXPECT_GE(QMInodesForSize(size, inodes), inodes);
        EXPECT_LE(QMFreeInodesForSize(size, inodes), sv.f_ffree);
        const quint64 free = quint64(sv.f_bavail) * sv.f_frsize;
        EXPECT_LE(QMUsableBytesForSize(size, inodes), free);
        // and not far below it (the rule's fixed margin of 16 blocks weighs on the smallest)
        EXPECT_GE(QMUsableBytesForSize(size, inodes), free - free / 50 - 16 * 4096);
    }
}
