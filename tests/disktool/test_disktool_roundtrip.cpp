// Real RAM disks through the build tree's quilmo-disktool: attach, format, mount, unmount,
// detach, and what each step leaves behind. The loop devices' own matters run the build
// that stands for a kernel without memory instances; what holds for both runs for both.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

bool kernelHasCasefold()
{
    return QFileInfo::exists(QStringLiteral("/sys/fs/ext4/features/casefold"));
}

QStringList mountArgs(const QString &device, const QString &path)
{
    return {QStringLiteral("-o"), QStringLiteral("noatime"), QStringLiteral("-o"), QStringLiteral("nobrowse"),
            QStringLiteral("-t"), QStringLiteral("hfs"), device, path};
}

QStringList ourShmFiles()
{
    return QDir(QStringLiteral("/dev/shm")).entryList({QStringLiteral("quilmo-ram-*")}, QDir::Files | QDir::System);
}
} // namespace

class DiskToolLoopRoundTrip : public ::testing::TestWithParam<bool> {};

TEST_P(DiskToolLoopRoundTrip, AttachFormatMountUnmountDetach)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    const bool caseSensitive = GetParam();
    const QStringList shmBefore = ourShmFiles();

    const Result attach = runTool(QStringLiteral("hdiutil"),
                                  attachArgs(131072));
    ASSERT_EQ(attach.status, 0) << attach.err.toStdString();
    EXPECT_TRUE(attach.err.isEmpty());
    const QString device = deviceFromAttachOutput(attach.out);
    ASSERT_TRUE(device.startsWith(QStringLiteral("/dev/loop"))) << attach.out.toStdString();
    const QString backing = backingOf(device);
    struct Release {
        QString device, backing;
        ~Release() { releaseDevice(device, backing); }
    } release{device, backing};

    auto entry = infoFor(device);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->imagePath, QStringLiteral("ram://131072"));
    EXPECT_TRUE(entry->mountPoint.isEmpty());
    // The memory file lives only as long as the device: nothing of it stays in /dev/shm.
    EXPECT_EQ(ourShmFiles(), shmBefore);
    // Direct I/O over the memory file, in blocks of the file system's size.
    EXPECT_EQ(sysfsOf(device, QStringLiteral("loop/dio")), QStringLiteral("1"));
    EXPECT_EQ(sysfsOf(device, QStringLiteral("queue/logical_block_size")), QStringLiteral("4096"));

    QStringList newfsArgs{QStringLiteral("-v"), QStringLiteral("Round Trip"), device};
    if (caseSensitive)
        newfsArgs.prepend(QStringLiteral("-s"));
    const Result newfs = runTool(QStringLiteral("newfs_hfs"), newfsArgs);
    ASSERT_EQ(newfs.status, 0) << newfs.err.toStdString();
    const bool expectInsensitive = !caseSensitive && kernelHasCasefold();
    EXPECT_EQ(newfs.out, QStringLiteral("Initialized %1 as a 64 MB %2 ext4 volume\n")
                             .arg(device, expectInsensitive ? QStringLiteral("case-insensitive")
                                                            : QStringLiteral("case-sensitive")));

    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    MountGuard mountGuard(dir.path());
    const Result mount = runTool(QStringLiteral("mount"), mountArgs(device, dir.path()));
    ASSERT_EQ(mount.status, 0) << mount.err.toStdString();
    EXPECT_TRUE(mount.out.isEmpty() && mount.err.isEmpty());
    const QStringList options = mountOptionsAt(dir.path()).split(QLatin1Char(','));
    EXPECT_TRUE(options.contains(QStringLiteral("nosuid")) && options.contains(QStringLiteral("nodev"))
                && options.contains(QStringLiteral("noatime")))
        << mountOptionsAt(dir.path()).toStdString();
    entry = infoFor(device);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->mountPoint, dir.path());

    // A fresh volume is empty (no lost+found) and its root belongs to the calling user.
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty());
    QFile file(dir.path() + QStringLiteral("/kept.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("kept across a remount");
    file.close();
    if (expectInsensitive)
        EXPECT_TRUE(QFileInfo::exists(dir.path() + QStringLiteral("/KEPT.TXT")));
    else
        EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/KEPT.TXT")));

    // Only a fresh volume is tidied at its first mount; a user's own directory of that name
    // stays across a remount.
    ASSERT_TRUE(QDir().mkdir(dir.path() + QStringLiteral("/lost+found")));

    const Result detachMounted = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device});
    EXPECT_TRUE(detachMounted.isRefusal()) << detachMounted.err.toStdString();
    EXPECT_EQ(backingOf(device), backing);

    Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), dir.path()});
    ASSERT_EQ(umount.status, 0) << umount.err.toStdString();
    EXPECT_FALSE(isMountPoint(dir.path()));
    entry = infoFor(device);
    ASSERT_TRUE(entry.has_value());
    EXPECT_TRUE(entry->mountPoint.isEmpty());

    ASSERT_EQ(runTool(QStringLiteral("mount"), mountArgs(device, dir.path())).status, 0);
    QFile again(dir.path() + QStringLiteral("/kept.txt"));
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), QByteArray("kept across a remount"));
    again.close();
    EXPECT_TRUE(QFileInfo(dir.path() + QStringLiteral("/lost+found")).isDir());
    umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), dir.path()});
    ASSERT_EQ(umount.status, 0) << umount.err.toStdString();

    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device});
    ASSERT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_TRUE(detach.out.isEmpty());
    // Loop devices are reused at once (other tests run in parallel): what info may still
    // list under this name must be another attachment.
    EXPECT_TRUE(!infoFor(device).has_value() || backingOf(device) != backing);
    EXPECT_NE(backingOf(device), backing);
    EXPECT_EQ(ourShmFiles(), shmBefore);
}

INSTANTIATE_TEST_SUITE_P(CaseRule, DiskToolLoopRoundTrip, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "CaseSensitive" : "Default"; });

TEST(DiskToolLoop, FormatCutsTheLabelOnACharacterBoundaryAndGivesTheRootToTheCaller)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    const uid_t user = testUid();
    // Nine two-byte characters: 18 bytes, so the 16-byte label holds eight of them.
    const QString name = QStringLiteral("ÄÖÜäöüÄÖÜ");
    RamDisk disk(65536, user, true, name);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    QString label;
    QMTest::run(QStringLiteral("/usr/sbin/blkid"), {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"),
                                                    QStringLiteral("-s"), QStringLiteral("LABEL"), disk.device()},
                &label);
    EXPECT_EQ(label.trimmed(), QStringLiteral("ÄÖÜäöüÄÖ"));

    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(chown(dir.path().toLocal8Bit().constData(), user, user), 0);
    MountGuard guard(dir.path());
    const Result mount = runTool(QStringLiteral("mount"), mountArgs(disk.device(), dir.path()), user);
    ASSERT_EQ(mount.status, 0) << mount.err.toStdString();
    struct stat st;
    ASSERT_EQ(stat(dir.path().toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/lost+found")));
    const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), dir.path()}, user);
    EXPECT_EQ(umount.status, 0) << umount.err.toStdString();
}

TEST(DiskTool, InfoShowsEachUserOnlyTheirOwnDevices)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t alice = testUid(0), bob = testUid(1);
    for (const Realisation realisation : {Realisation::Memory, Realisation::Loop}) {
        SCOPED_TRACE(realisationName(realisation));
        RealisationTool tool(realisation);
        RamDisk disk(2048, alice, false);
        ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
        EXPECT_EQ(realisationOf(disk.device()), realisation);
        EXPECT_TRUE(infoFor(disk.device(), alice).has_value());
        EXPECT_FALSE(infoFor(disk.device(), bob).has_value());
        EXPECT_TRUE(infoFor(disk.device()).has_value()); // root sees all
        // The public copy of the record tells a user without root their own.
        if (QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable()) {
            for (const uid_t user : {alice, bob}) {
                const Result listed = runAsUser(user, QMTest::libexecDir() + QStringLiteral("/hdiutil"),
                                                {QStringLiteral("info"), QStringLiteral("-plist")});
                EXPECT_EQ(listed.status, 0) << listed.err.toStdString();
                EXPECT_EQ(listed.out.contains(QStringLiteral("<string>%1</string>").arg(disk.device())), user == alice);
            }
        }
    }
}

TEST(DiskToolLoop, AFailedFormatLeavesTheDeviceToItsOwner)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopTool loop;
    // One sector is too small for any file system.
    RamDisk disk(1, std::nullopt, false);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    // A size of no whole 4096-byte blocks is attached with 512-byte ones.
    EXPECT_EQ(sysfsOf(disk.device(), QStringLiteral("queue/logical_block_size")), QStringLiteral("512"));
    const Result newfs = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Tiny"), disk.device()});
    EXPECT_TRUE(newfs.isRefusal()) << newfs.err.toStdString();
    EXPECT_TRUE(newfs.out.isEmpty());
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), disk.device()});
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(disk.attached());
}

TEST(DiskTool, DiskutilErasesAndMountsUnderMedia)
{
    QM_REQUIRE_LOOP_DEVICES();
    for (const Realisation realisation : {Realisation::Memory, Realisation::Loop}) {
        SCOPED_TRACE(realisationName(realisation));
        RealisationTool tool(realisation);
        RamDisk disk(65536, std::nullopt, false);
        ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
        const QString before = uuidOf(disk.device());
        const QString name = QStringLiteral("Quilmo Test %1").arg(getpid());
        const QString expected = QStringLiteral("/media/root/") + name;
        MountGuard guard(expected);
        const Result erase = runTool(QStringLiteral("diskutil"), {QStringLiteral("erasevolume"),
                                                                  QStringLiteral("Case-sensitive HFS+"), name, disk.device()});
        ASSERT_EQ(erase.status, 0) << erase.err.toStdString();
        EXPECT_EQ(erase.out.count(QLatin1Char('\n')), 1);
        EXPECT_EQ(mountPointsOf(disk.device()), QStringList{expected});
        EXPECT_TRUE(mountOptionsAt(expected).contains(QStringLiteral("nosuid,nodev")));
        EXPECT_NE(uuidOf(disk.device()), before) << "erased: a volume made anew";
        const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), expected});
        EXPECT_EQ(umount.status, 0) << umount.err.toStdString();
        // The directory made for the volume goes with it.
        EXPECT_FALSE(QFileInfo::exists(expected));
    }
}

TEST(DiskTool, MdutilMarksTheVolumeForDesktopIndexers)
{
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString marker = dir.path() + QStringLiteral("/.trackerignore");
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"), dir.path()}).status, 0);
    EXPECT_TRUE(QFileInfo::exists(marker));
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-E"), dir.path()}).status, 0);
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-d"), dir.path()}).status, 0);
    EXPECT_TRUE(QFileInfo::exists(marker));
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("on"), dir.path()}).status, 0);
    EXPECT_FALSE(QFileInfo::exists(marker));

    ASSERT_TRUE(QDir().mkdir(dir.path() + QStringLiteral("/real")));
    ASSERT_TRUE(QFile::link(dir.path() + QStringLiteral("/real"), dir.path() + QStringLiteral("/link")));
    const Result viaLink = runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"),
                                                              dir.path() + QStringLiteral("/link")});
    EXPECT_TRUE(viaLink.isRefusal()) << viaLink.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.path() + QStringLiteral("/real/.trackerignore")));
}

TEST(DiskTool, PurgeDropsTheCleanCaches)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const Result r = runTool(QStringLiteral("purge"), {});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(runTool(QStringLiteral("purge"), {QStringLiteral("-now")}).isRefusal());
}

TEST(DiskTool, ANormalUserListsAndMarksWithoutRootAndIsAskedForTheRest)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable())
        GTEST_SKIP() << "needs setpriv to run as another user";
    const uid_t nobody = 65534;
    RamDisk rootsDisk(2048, std::nullopt, false);
    ASSERT_TRUE(rootsDisk.ok()) << rootsDisk.error().toStdString();
    // Outside the test's private home, which the other user cannot enter.
    QMTemporaryDir dir(QStringLiteral("/home/quilmo-nobody-XXXXXX"));
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(chown(dir.path().toLocal8Bit().constData(), nobody, nobody), 0);
    auto asNobody = [&](const QString &tool, const QStringList &args) {
        QString out, err;
        const int status = QMTest::run(QStringLiteral("/usr/bin/setpriv"),
                                       QStringList{QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                                                   QStringLiteral("--clear-groups"), QMTest::libexecDir() + QLatin1Char('/') + tool}
                                           + args,
                                       &out, &err);
        return Result{status, out, err};
    };
    const Result info = asNobody(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")});
    EXPECT_EQ(info.status, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains(QStringLiteral("<key>images</key>")));
    EXPECT_FALSE(info.out.contains(rootsDisk.device() + QLatin1Char('<')));
    EXPECT_EQ(asNobody(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"), dir.path()}).status, 0);
    EXPECT_TRUE(QFileInfo::exists(dir.path() + QStringLiteral("/.trackerignore")));

    // Work that needs root goes through pkexec; without an agent that says yes, it is
    // refused with one line, and nothing is attached.
    const QString before = snapshot(nobody, dir.path());
    const Result attach = asNobody(QStringLiteral("hdiutil"), attachArgs(2048));
    EXPECT_TRUE(attach.isRefusal()) << attach.status << " " << attach.err.toStdString();
    EXPECT_EQ(snapshot(nobody, dir.path()), before);
}

TEST(DiskToolLoop, AFailureOrAKillInsideAttachLeavesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/prlimit")).isExecutable())
        GTEST_SKIP() << "needs prlimit";
    const uid_t user = testUid(2);
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString hdiutil = LoopTool::directory() + QStringLiteral("/hdiutil");
    // Real failures at each step after the memory file exists: too few descriptors for the
    // loop control device or the loop device, and a file-size limit that fails the sizing
    // (ignored signal) or kills the tool outright (default signal).
    const QStringList scripts = {
        QStringLiteral("exec /usr/bin/prlimit --nofile=5 \"$0\" \"$@\""),
        QStringLiteral("exec /usr/bin/prlimit --nofile=6 \"$0\" \"$@\""),
        QStringLiteral("trap '' XFSZ; exec /usr/bin/prlimit --fsize=1048576 \"$0\" \"$@\""),
        QStringLiteral("exec /usr/bin/prlimit --fsize=1048576 \"$0\" \"$@\""),
    };
    for (const QString &script : scripts) {
        const QString before = snapshot(user, dir.path());
        const Result r = runToolBehind(script, hdiutil, attachArgs(4096), user, -1);
        EXPECT_NE(r.status, 0) << script.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << script.toStdString();
        EXPECT_EQ(snapshot(user, dir.path()), before) << script.toStdString();
        EXPECT_TRUE(snapshot(user, dir.path()).isEmpty()) << script.toStdString();
    }
}

TEST(DiskTool, TheDefaultParentUnderMediaIsUsableByItsUserAlone)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDisk disk(65536);
    EXPECT_EQ(realisationOf(disk.device()), Realisation::Memory);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/media/root")));
    QMTemporaryDir own(QStringLiteral("/media/root/quilmo-test-XXXXXX"));
    ASSERT_TRUE(own.isValid());
    MountGuard guard(own.path());
    const Result mount = runTool(QStringLiteral("mount"), mountArgs(disk.device(), own.path()));
    EXPECT_EQ(mount.status, 0) << mount.err.toStdString();
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), own.path()}).status, 0);

    // Deeper down, another user's place, and the parents themselves stay refused.
    ASSERT_TRUE(QDir().mkdir(own.path() + QStringLiteral("/deeper")));
    EXPECT_TRUE(runTool(QStringLiteral("mount"), mountArgs(disk.device(), own.path() + QStringLiteral("/deeper"))).isRefusal());
    EXPECT_TRUE(runTool(QStringLiteral("mount"), mountArgs(disk.device(), QStringLiteral("/media/root"))).isRefusal());
    const uid_t user = testUid();
    ASSERT_EQ(chown(own.path().toLocal8Bit().constData(), user, user), 0);
    EXPECT_TRUE(runTool(QStringLiteral("mount"), mountArgs(disk.device(), own.path()), user).isRefusal());
    EXPECT_TRUE(mountPointsOf(disk.device()).isEmpty());
}

// Both realisations at once, as two tools would: loop devices and memory instances are
// recorded side by side, and none is lost.
TEST(DiskTool, ConcurrentAttachesAreAllRecorded)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid(3);
    constexpr int count = 8;
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < count; ++i) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PKEXEC_UID"), QString::number(user));
        p->setProcessEnvironment(env);
        p->start((i % 2 ? LoopTool::directory() : QMTest::libexecDir()) + QStringLiteral("/hdiutil"),
                 attachArgs(2048));
        processes.push_back(std::move(p));
    }
    QStringList devices, backings;
    struct ReleaseAll {
        QStringList *devices, *backings;
        ~ReleaseAll()
        {
            for (int i = 0; i < devices->size(); ++i)
                releaseDevice(devices->at(i), backings->at(i));
        }
    } releaseAll{&devices, &backings};
    for (auto &p : processes) {
        ASSERT_TRUE(p->waitForFinished(-1));
        EXPECT_EQ(p->exitCode(), 0) << p->readAllStandardError().toStdString();
        const QString device = deviceFromAttachOutput(QString::fromUtf8(p->readAllStandardOutput()));
        if (!device.isEmpty()) {
            devices << device;
            backings << identityOf(device);
        }
    }
    ASSERT_EQ(devices.size(), count);
    EXPECT_EQ(QSet<QString>(devices.begin(), devices.end()).size(), count);
    EXPECT_EQ(devices.filter(QStringLiteral("/dev/loop")).size(), count / 2);
    // Each one was recorded for its owner: each can be detached by them.
    for (const QString &device : devices) {
        const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, user);
        EXPECT_EQ(detach.status, 0) << device.toStdString() << ": " << detach.err.toStdString();
    }
}
