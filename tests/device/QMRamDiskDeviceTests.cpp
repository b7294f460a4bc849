// Device operations against fake tools (parse rules, argument vectors) and against real
// mounts (mount state, foreign volumes, ejecting with the remove-directory rule).
#include "QMDeviceTestSupport.h"
#include "QMDiskToolOutput.h"
#include "QMMountTable.h"
#include "QMRamDiskDevice.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

using namespace QMDeviceTest;

namespace {

const char *kAttachOne = R"(cat <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>system-entities</key><array>
<dict><key>dev-entry</key><string>/dev/loop9999</string></dict>
</array></dict></plist>
PLIST)";

const char *kAttachTwo = R"(cat <<'PLIST'
<plist version="1.0"><dict><key>system-entities</key><array>
<dict><key>dev-entry</key><string>/dev/loop8</string></dict>
<dict><key>dev-entry</key><string>/dev/loop9999</string></dict>
</array></dict></plist>
PLIST)";

const char *kInfo = R"(cat <<'PLIST'
<plist version="1.0"><dict><key>images</key><array>
<dict><key>image-path</key><string>ram://2048</string><key>system-entities</key><array>
  <dict><key>dev-entry</key><string>/dev/loop1</string><key>mount-point</key><string>/tmp/a b</string></dict></array></dict>
<dict><key>image-path</key><string>/home/u/disk.img</string><key>system-entities</key><array>
  <dict><key>dev-entry</key><string>/dev/loop2</string></dict></array></dict>
<dict><key>image-path</key><string>ram://4096</string><key>system-entities</key><array>
  <dict><key>dev-entry</key><string>/dev/loop3</string></dict></array></dict>
<dict><key>image-path</key><string>ram://4096</string><key>system-entities</key><array>
  <dict><key>dev-entry</key><string>/dev/loop4</string></dict><dict><key>dev-entry</key><string>/dev/loop5</string></dict></array></dict>
<dict><key>image-path</key><string>ram://4096</string><key>system-entities</key><array>
  <dict><key>content-hint</key><string>none</string></dict></array></dict>
</array></dict></plist>
PLIST)";

QString causeText(const QMError::Ptr &e)
{
    return e ? e->depends().localizedDescription() : QString();
}

} // namespace

TEST(QMRamDiskDeviceAttach, SectorCountAndArguments)
{
    EXPECT_EQ(QMRamDiskDevice::attachArguments(1073741824ULL, false),
              (QStringList{"attach", "-nomount", "-plist", "ram://2097152"}));
    EXPECT_EQ(QMRamDiskDevice::attachArguments(536870912ULL, false).last(), QStringLiteral("ram://1048576"));
    EXPECT_EQ(QMRamDiskDevice::attachArguments(1000, false).last(), QStringLiteral("ram://1"));
    // Linux is a current system: wired memory never adds "-kernel".
    EXPECT_EQ(QMRamDiskDevice::attachArguments(1073741824ULL, true).size(), 4);

    EXPECT_EQ(QMRamDiskDevice::formatArguments(QStringLiteral("Ram Disk"), 1, QStringLiteral("/dev/loop2")),
              (QStringList{"-s", "-v", "Ram Disk", "/dev/loop2"}));
    EXPECT_EQ(QMRamDiskDevice::formatArguments(QStringLiteral("R"), 0, QStringLiteral("/dev/loop2")),
              (QStringList{"-v", "R", "/dev/loop2"}));
    EXPECT_EQ(QMRamDiskDevice::formatArguments(QStringLiteral("R"), 1, QStringLiteral("/dev/loop2"), 150000),
              (QStringList{"-s", "-N", "150000", "-v", "R", "/dev/loop2"}));
}

// A creation asks for half as many inodes again as it will copy items, never more than the
// device takes, and nothing (the format's default) when it copies nothing.
TEST(QMRamDiskDeviceFormat, InodesForTheItemsToCopy)
{
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(1000000000ULL, 0), 0u);
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(1000000000ULL, 1), 2u);
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(2000000000ULL, 100000), 150000u);
    // One per 8 KiB of whole sectors at most: 1000000100 bytes are 1000000000 in sectors.
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(1000000100ULL, 100000000), 122070u);
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(1000000100ULL, 81380), 122070u);
    EXPECT_EQ(QMRamDiskDevice::inodeCountForItems(1000000100ULL, 81379), 122069u);
}

TEST(QMRamDiskDeviceAttach, ReadsTheDeviceNodeThroughTheRunner)
{
    FakeTools tools;
    tools.add(QStringLiteral("hdiutil"), QString::fromUtf8(kAttachOne));
    QMError::Ptr error;
    EXPECT_EQ(QMRamDiskDevice::attachDeviceWithSize(1073741824ULL, true, &error), QStringLiteral("/dev/loop9999"));
    EXPECT_FALSE(error);
    EXPECT_EQ(tools.calls(), QStringList{QStringLiteral("hdiutil attach -nomount -plist ram://2097152")});
}

TEST(QMRamDiskDeviceAttach, FailuresCarryTheirConditions)
{
    FakeTools tools;
    QMError::Ptr error;
    tools.add(QStringLiteral("hdiutil"), QStringLiteral("echo 'no free loop device' >&2; exit 1"));
    EXPECT_TRUE(QMRamDiskDevice::attachDeviceWithSize(1 << 20, false, &error).isNull());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to create RamDisk"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" executeCommand==NO")));
    EXPECT_TRUE(error->reason().startsWith(QStringLiteral("attachDeviceWithSize(")));
    EXPECT_EQ(causeText(error), QStringLiteral("no free loop device\n"));

    for (const QString &body : {QString::fromUtf8(kAttachTwo), QStringLiteral("echo not a plist"), QStringLiteral("true"),
                                QStringLiteral("echo '<plist><dict><key>system-entities</key><array><dict>"
                                               "<key>dev-entry</key><integer>3</integer></dict></array></dict></plist>'")}) {
        tools.add(QStringLiteral("hdiutil"), body);
        error.reset();
        EXPECT_TRUE(QMRamDiskDevice::attachDeviceWithSize(1 << 20, false, &error).isNull()) << body.toStdString();
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" systemEntities")));
        EXPECT_TRUE(error->depends().isNull());
    }
}

TEST(QMRamDiskDeviceFormat, AcceptsExactlyOneSuccessLine)
{
    EXPECT_TRUE(QMDiskToolOutput::isFormatOutputValid(
        QStringLiteral("Initialized /dev/loop3 as a 1 GB case-sensitive ext4 volume\n")));
    EXPECT_TRUE(QMDiskToolOutput::isFormatOutputValid(
        QStringLiteral("Initialized /dev/rdisk4 as a 512 MB case-insensitive HFS Plus volume")));
    EXPECT_FALSE(QMDiskToolOutput::isFormatOutputValid(
        QStringLiteral("Initialized /dev/rdisk4 as a 512 MB ext4 volume")));
    EXPECT_FALSE(QMDiskToolOutput::isFormatOutputValid(
        QStringLiteral("warning: casefold unavailable\nInitialized /dev/loop3 as a 1 GB case-sensitive ext4 volume\n")));
    EXPECT_FALSE(QMDiskToolOutput::isFormatOutputValid(
        QStringLiteral("Initialized /dev/loop3 as a 1 GB ext4 volume\n\n")));
    EXPECT_FALSE(QMDiskToolOutput::isFormatOutputValid(QStringLiteral("Initialized /dev/loop3 ext4 volume")));
    EXPECT_FALSE(QMDiskToolOutput::isFormatOutputValid(QString()));
}

TEST(QMRamDiskDeviceFormat, RunsNewfsAndReportsItsFailures)
{
    FakeTools tools;
    QMError::Ptr error;
    tools.add(QStringLiteral("newfs_hfs"), QStringLiteral("echo \"Initialized $4 as a 1 GB case-sensitive ext4 volume\""));
    EXPECT_TRUE(QMRamDiskDevice::formatDeviceNode(QStringLiteral("/dev/loop6"), QStringLiteral("Work"), 1, &error));
    EXPECT_EQ(tools.calls(), QStringList{QStringLiteral("newfs_hfs -s -v Work /dev/loop6")});
    tools.add(QStringLiteral("newfs_hfs"), QStringLiteral("echo \"Initialized $6 as a 1 GB case-sensitive ext4 volume\""));
    EXPECT_TRUE(QMRamDiskDevice::formatDeviceNode(QStringLiteral("/dev/loop6"), QStringLiteral("Work"), 1, &error, 3000));
    EXPECT_EQ(tools.calls().last(), QStringLiteral("newfs_hfs -s -N 3000 -v Work /dev/loop6"));

    tools.add(QStringLiteral("newfs_hfs"), QStringLiteral("echo 'note'; echo \"Initialized $2 as a 1 GB ext4 volume\""));
    EXPECT_FALSE(QMRamDiskDevice::formatDeviceNode(QStringLiteral("/dev/loop6"), QStringLiteral("Work"), 0, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" lines")));

    tools.add(QStringLiteral("newfs_hfs"), QStringLiteral("echo 'mke2fs failed' >&2; exit 3"));
    EXPECT_FALSE(QMRamDiskDevice::formatDeviceNode(QStringLiteral("/dev/loop6"), QStringLiteral("Work"), 0, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" executeCommand==NO")));
    EXPECT_EQ(causeText(error), QStringLiteral("mke2fs failed\n"));
}

TEST(QMRamDiskDeviceList, KeepsOnlyRamImagesWithOneEntity)
{
    FakeTools tools;
    tools.add(QStringLiteral("hdiutil"), QString::fromUtf8(kInfo));
    QMError::Ptr error;
    const auto list = QMRamDiskDevice::deviceList(false, &error);
    ASSERT_TRUE(list.has_value());
    EXPECT_FALSE(error);
    ASSERT_EQ(list->size(), 2);
    EXPECT_EQ(list->at(0), (QVariantMap{{"devNode", "/dev/loop1"}, {"mountPoint", "/tmp/a b"}}));
    EXPECT_EQ(list->at(1), (QVariantMap{{"devNode", "/dev/loop3"}}));
    EXPECT_EQ(tools.calls(), QStringList{QStringLiteral("hdiutil info -plist")});

    // With identity, a mount point that cannot be read is logged and added nothing.
    LogCapture log;
    const auto withIdentity = QMRamDiskDevice::deviceList(true, &error);
    ASSERT_TRUE(withIdentity.has_value());
    EXPECT_EQ(withIdentity->at(0).size(), 2);
    EXPECT_TRUE(log.all().contains(QStringLiteral("stat==-1 mountPoint:/tmp/a b")));

    tools.add(QStringLiteral("hdiutil"), QStringLiteral("echo '<plist><dict/></plist>'"));
    EXPECT_EQ(QMRamDiskDevice::deviceList(false, &error)->size(), 0) << "no images is an empty list";
    tools.add(QStringLiteral("hdiutil"), QStringLiteral("echo 'garbage'"));
    EXPECT_EQ(QMRamDiskDevice::deviceList(false, &error)->size(), 0);

    tools.add(QStringLiteral("hdiutil"), QStringLiteral("echo 'busy' >&2; exit 2"));
    EXPECT_FALSE(QMRamDiskDevice::deviceList(false, &error).has_value());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Can execute device list command"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" executeCommand==NO")));
}

TEST(QMMountTable, ParsesMountInfoAndDecodesEscapes)
{
    const QByteArray text =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "95 22 7:3 / /home/u/My\\040Disk\\134x rw,nosuid shared:50 master:2 - ext4 /dev/loop3 rw\n"
        "96 22 0:50 / /run/user/1000 rw - tmpfs tmpfs rw\n"
        "broken line\n"
        "97 22 0:51 / /no/dash rw a b c d\n";
    const auto entries = QMMountTable::parseMountInfo(text);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[1].mountPoint, QStringLiteral("/home/u/My Disk\\x"));
    EXPECT_EQ(entries[1].device, QStringLiteral("/dev/loop3"));
    EXPECT_EQ(entries[1].fsType, QStringLiteral("ext4"));
    EXPECT_EQ(entries[2].fsType, QStringLiteral("tmpfs"));
    EXPECT_EQ(QMMountTable::decodeField("a\\011b\\012c\\9"), QStringLiteral("a\tb\nc\\9"));

    const auto live = QMMountTable::entries();
    ASSERT_TRUE(live.has_value());
    EXPECT_FALSE(live->isEmpty());
}

TEST(QMRamDiskDeviceLookups, MissingArgumentsAndUnmountedDevices)
{
    QMError::Ptr error;
    EXPECT_TRUE(QMRamDiskDevice::mountPointFromDeviceNode(QString(), &error).isNull());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Incorrect device node"));
    error.reset();
    EXPECT_TRUE(QMRamDiskDevice::deviceNodeFromPath(QString(), &error).isNull());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Incorrect device path"));

    error.reset();
    EXPECT_TRUE(QMRamDiskDevice::mountPointFromDeviceNode(QStringLiteral("/dev/loop250"), &error).isNull());
    EXPECT_FALSE(error) << "not mounted is no error";
    EXPECT_TRUE(QMRamDiskDevice::deviceNodeFromPath(QDir::tempPath(), &error).isNull());
    EXPECT_FALSE(error);
    EXPECT_TRUE(QMRamDiskDevice::forceEjectRamDiskAtPath(QDir::tempPath()) == nullptr)
        << "a plain directory force-ejects to nothing";
}

TEST(QMRamDiskDeviceMountState, RootPlainFolderAndMountedVolume)
{
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(QStringLiteral("/")), QMMountStateUnknown);
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(QString()), QMMountStateUnknown);
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(dir.path()), QMMountStateNone);
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(dir.path() + QLatin1Char('/')), QMMountStateNone);
    {
        LogCapture log;
        EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(dir.filePath(QStringLiteral("missing"))), QMMountStateUnknown);
        EXPECT_TRUE(log.all().contains(QStringLiteral("devNumber1==nil error:")));
    }

    const QString mountPoint = dir.filePath(QStringLiteral("vol"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    QString why;
    if (!mountTmpfs(mountPoint, &why))
        GTEST_SKIP() << why.toStdString();
    MountGuard guard{mountPoint};
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(mountPoint), QMMountStateMounted);
    // A volume of another file-system type is never found by either look-up.
    QMError::Ptr error;
    EXPECT_TRUE(QMRamDiskDevice::deviceNodeFromPath(mountPoint, &error).isNull());
    EXPECT_FALSE(error);
    EXPECT_EQ(QMRamDiskDevice::forceEjectRamDiskAtPath(mountPoint), nullptr);
    EXPECT_EQ(QMRamDiskDevice::hasMountedVolumeAtPath(mountPoint), QMMountStateMounted) << "left alone";
}

TEST(QMRamDiskDeviceMount, RefusesWhatIsNotADirectoryOrNotOurs)
{
    FakeTools tools;
    tools.add(QStringLiteral("mount"), QString());
    tools.add(QStringLiteral("umount"), QString());
    tools.add(QStringLiteral("hdiutil"), QString());
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString mounted;

    QFile file(dir.filePath(QStringLiteral("File")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(),
                                                          QStringLiteral("File"), 0, 0, QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("The target is not a directory"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" isDir==NO")));

    error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(), QStringLiteral(".."), 0, 0,
                                             QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error) << "a name must not lead out of the directory";
    error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(), QString(), 0, 0,
                                             QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error) << "without a name the volume would cover the directory itself";
    EXPECT_TRUE(tools.calls().isEmpty());

    // An untagged volume, and one whose tag names another device, are never touched.
    QM_REQUIRE_LOOP_DEVICES();
    const QString device = makeForeignExt4(dir.filePath(QStringLiteral("foreign.img")));
    ASSERT_FALSE(device.isEmpty());
    LoopGuard loop{device};
    const QString mountPoint = dir.filePath(QStringLiteral("Vol"));
    ASSERT_TRUE(QDir().mkpath(mountPoint));
    ASSERT_EQ(QMTest::run(QStringLiteral("/usr/bin/mount"), {QStringLiteral("-t"), QStringLiteral("ext4"), device, mountPoint}), 0);
    MountGuard guard{mountPoint};

    error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(), QStringLiteral("Vol"), 0, 0,
                                             QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Another volume is mounted"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" getExtentedAttribute==NO")));

    ASSERT_TRUE(QMRamDiskDevice::setExtendedRamDiskInfos(
        {{"identifier", "OLD"}, {"deviceNode", "/dev/loop200"}}, mountPoint));
    error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(), QStringLiteral("Vol"), 0, 0,
                                             QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Another volume is mounted"));
    EXPECT_TRUE(tools.calls().isEmpty()) << tools.calls().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(mounted.isNull());
}

TEST(QMRamDiskDeviceMount, ArgumentVectorWithAGivenDirectory)
{
    // The fake mount does nothing, so the look-up afterwards finds no mount point (a device
    // number no real loop device has, so another run's mounts never answer it).
    FakeTools tools;
    tools.add(QStringLiteral("mount"), QString());
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString mounted;
    const QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(),
                                                                QStringLiteral("New Disk"), 1, 0, QStringLiteral("ID"),
                                                                &mounted);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("New Disk"))).isDir()) << "the mount path is created";
    EXPECT_EQ(tools.calls(), QStringList{QStringLiteral("mount -o noatime -o nobrowse -t hfs /dev/loop9999 %1/New Disk")
                                             .arg(dir.path())});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to get mount point"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" mountedPath==nil")));

    tools.add(QStringLiteral("mount"), QStringLiteral("echo 'refused' >&2; exit 1"));
    const QMError::Ptr failed = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(),
                                                                 QStringLiteral("New Disk"), 1, 0, QStringLiteral("ID"),
                                                                 &mounted);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message(), QStringLiteral("Unable to mount disk"));
    EXPECT_TRUE(failed->reason().endsWith(QStringLiteral(" executeCommand:")));
    EXPECT_EQ(causeText(failed), QStringLiteral("refused\n"));
}

TEST(QMRamDiskDeviceMount, ARefusedMountLeavesNoDirectoryItMade)
{
    FakeTools tools;
    tools.add(QStringLiteral("mount"), QStringLiteral("echo 'refused' >&2; exit 1"));
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QString mounted;
    // The directory and a missing parent are made for the mount, and go again with it;
    // what was there before stays.
    const QString parent = dir.filePath(QStringLiteral("made/for"));
    const QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), parent,
                                                                QStringLiteral("Disk"), 0, 0, QStringLiteral("ID"), &mounted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to mount disk"));
    EXPECT_EQ(tools.calls().size(), 1);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("made"))));
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());

    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("Kept"))));
    EXPECT_TRUE(QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), dir.path(), QStringLiteral("Kept"), 0, 0,
                                                 QStringLiteral("ID"), &mounted));
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("Kept"))).isDir());
}

TEST(QMRamDiskDeviceMount, AWritableDefaultPlaceMountsWithoutNobrowse)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QMRamDiskDevice::setDefaultVolumesDirectoryForTesting(dir.path());
    struct Reset { ~Reset() { QMRamDiskDevice::setDefaultVolumesDirectoryForTesting(QString()); } } reset;
    FakeTools tools;
    tools.add(QStringLiteral("mount"), QString());
    QString mounted;
    QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop9999"), QString(), QStringLiteral("Cache"), 0, 0,
                                     QStringLiteral("ID"), &mounted);
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("Cache"))).isDir());
    EXPECT_EQ(tools.calls(),
              QStringList{QStringLiteral("mount -o noatime -t hfs /dev/loop9999 %1/Cache").arg(dir.path())});
}

TEST(QMRamDiskDeviceMount, NeverErasesADeviceWithDataToReachTheDefaultPlace)
{
    // A default place that does not exist is not writable, as /media/<user> is not for a user.
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QMRamDiskDevice::setDefaultVolumesDirectoryForTesting(dir.filePath(QStringLiteral("media/user")));
    struct Reset { ~Reset() { QMRamDiskDevice::setDefaultVolumesDirectoryForTesting(QString()); } } reset;
    FakeTools tools;
    tools.add(QStringLiteral("diskutil"), QString());
    QString mounted;
    const QMError::Ptr error = QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop201"), QString(),
                                                                QStringLiteral("Data"), 0, 0, QStringLiteral("ID"),
                                                                &mounted);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to erase and mount disk"));
    EXPECT_TRUE(tools.calls().isEmpty());

    // A device this process has just formatted may be erased and mounted by the utility.
    tools.add(QStringLiteral("newfs_hfs"), QStringLiteral("echo \"Initialized $4 as a 1 GB ext4 volume\""));
    ASSERT_TRUE(QMRamDiskDevice::formatDeviceNode(QStringLiteral("/dev/loop201"), QStringLiteral("Data"), 1, nullptr));
    QMRamDiskDevice::mountDeviceNode(QStringLiteral("/dev/loop201"), QString(), QStringLiteral("Data"), 1, 0,
                                     QStringLiteral("ID"), &mounted);
    EXPECT_TRUE(tools.calls().contains(QStringLiteral("diskutil erasevolume Case-sensitive HFS+ Data /dev/loop201")));
}

TEST(QMRamDiskDeviceEject, RemovesOnlyAnEmptiedMountDirectory)
{
    QM_REQUIRE_LOOP_DEVICES();
    FakeTools tools;
    // A real unmount behind the fake tool, so the directory is what the RAM disk covered.
    tools.add(QStringLiteral("umount"), QStringLiteral("for a; do last=$a; done; /usr/bin/umount \"$last\""));
    tools.add(QStringLiteral("hdiutil"), QString());
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());

    for (const bool userFile : {false, true}) {
        const QString mountPoint = dir.filePath(userFile ? QStringLiteral("kept") : QStringLiteral("removed"));
        ASSERT_TRUE(QDir().mkpath(mountPoint));
        QFile ds(mountPoint + QStringLiteral("/.DS_Store"));
        ASSERT_TRUE(ds.open(QIODevice::WriteOnly));
        ds.close();
        if (userFile) {
            QFile f(mountPoint + QStringLiteral("/notes.txt"));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        QString why;
        ASSERT_TRUE(mountTmpfs(mountPoint, &why)) << why.toStdString();
        MountGuard guard{mountPoint};
        EXPECT_EQ(QMRamDiskDevice::ejectRamDiskDeviceNode(QStringLiteral("/dev/loop202"), mountPoint, true), nullptr);
        EXPECT_EQ(QFileInfo::exists(mountPoint), userFile);
        if (userFile) {
            EXPECT_TRUE(QFileInfo::exists(mountPoint + QStringLiteral("/notes.txt")));
        }
    }
    EXPECT_EQ(tools.calls(), (QStringList{QStringLiteral("umount %1/removed").arg(dir.path()),
                                          QStringLiteral("hdiutil detach /dev/loop202"),
                                          QStringLiteral("umount %1/kept").arg(dir.path()),
                                          QStringLiteral("hdiutil detach /dev/loop202")}));

    // A folder under a bookkeeping name holds files of the user's: the directory stays.
    const QString trashed = dir.filePath(QStringLiteral("trashed"));
    ASSERT_TRUE(QDir().mkpath(trashed + QStringLiteral("/.Trash")));
    QFile f(trashed + QStringLiteral("/.Trash/deleted but wanted.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QString why;
    ASSERT_TRUE(mountTmpfs(trashed, &why)) << why.toStdString();
    MountGuard guard{trashed};
    EXPECT_EQ(QMRamDiskDevice::ejectRamDiskDeviceNode(QStringLiteral("/dev/loop202"), trashed, true), nullptr);
    EXPECT_TRUE(QFileInfo::exists(trashed + QStringLiteral("/.Trash/deleted but wanted.txt")));
}

TEST(QMRamDiskDeviceEject, FailuresAndMissingDevice)
{
    FakeTools tools;
    QMError::Ptr error = QMRamDiskDevice::ejectRamDiskDeviceNode(QString(), QStringLiteral("/tmp"), true);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), QStringLiteral("Unable to eject disk"));
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" deviceNode==nil")));
    EXPECT_TRUE(tools.calls().isEmpty());

    tools.add(QStringLiteral("hdiutil"), QStringLiteral("echo 'busy' >&2; exit 16"));
    error = QMRamDiskDevice::ejectRamDiskDeviceNode(QStringLiteral("/dev/loop9999"), QString(), false);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->reason().endsWith(QStringLiteral(" executeCommand==NO")));
    EXPECT_EQ(causeText(error), QStringLiteral("busy\n"));
    EXPECT_EQ(tools.calls(), QStringList{QStringLiteral("hdiutil detach /dev/loop9999")});
}

TEST(QMRamDiskDevicePostCommand, CompletionAndChecks)
{
    EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("  ")), QStringLiteral("  "));
    EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("ls -l")), QStringLiteral("ls -l"));
    EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("~/x")), QStringLiteral("~/x"));
    EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("no-such-quilmo-tool")),
              QStringLiteral("no-such-quilmo-tool"));
    // /usr/bin wins over /bin and /sbin whatever the usr merge made of them.
    EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("env")), QStringLiteral("/usr/bin/env"));
    if (QFileInfo::exists(QStringLiteral("/usr/sbin/losetup")) && !QFileInfo::exists(QStringLiteral("/usr/bin/losetup"))) {
        EXPECT_EQ(QMRamDiskDevice::completePostCommand(QStringLiteral("losetup")), QStringLiteral("/usr/sbin/losetup"));
    }

    QString why;
    EXPECT_FALSE(QMRamDiskDevice::canStartPostCommand(QStringLiteral("/"), &why));
    EXPECT_EQ(why, QStringLiteral("The path is not correct"));
    EXPECT_FALSE(QMRamDiskDevice::canStartPostCommand(QString(), nullptr));
    EXPECT_FALSE(QMRamDiskDevice::canStartPostCommand(QStringLiteral("/tmp"), &why));
    EXPECT_EQ(why, QStringLiteral("The command file can not be a directory"));
    EXPECT_FALSE(QMRamDiskDevice::canStartPostCommand(QStringLiteral("/nonexistent/quilmo"), &why));
    EXPECT_EQ(why, QStringLiteral("The command file does not exist"));
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString plain = dir.filePath(QStringLiteral("plain"));
    QFile f(plain);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ASSERT_TRUE(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    EXPECT_FALSE(QMRamDiskDevice::canStartPostCommand(plain, &why));
    EXPECT_EQ(why, QStringLiteral("The file path is not executable"));
    EXPECT_TRUE(QMRamDiskDevice::canStartPostCommand(QStringLiteral("/usr/bin/env"), &why));
}
