// The tool is a privilege boundary: every refusal exits 1 with one line on standard error
// and changes nothing.

#include "DiskToolTestSupport.h"
#include "QMFileRemover.h"
#include "QMFormatRules.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

QString blkidType(const QString &device)
{
    QString out;
    QMTest::run(QStringLiteral("/usr/sbin/blkid"),
                {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"), QStringLiteral("-s"),
                 QStringLiteral("TYPE"), device},
                &out);
    return out.trimmed();
}

// A formatted RAM disk of a made-up user and a directory that user owns.
class DiskToolRefusal : public ::testing::Test {
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        ASSERT_TRUE(_dir.isValid());
        _user = testUid();
        _disk = std::make_unique<RamDisk>(65536, _user);
        ASSERT_TRUE(_disk->ok()) << _disk->error().toStdString();
        _target = _dir.path() + QStringLiteral("/target");
        ASSERT_TRUE(QDir().mkdir(_target));
        ASSERT_EQ(chown(_target.toLocal8Bit().constData(), _user, _user), 0);
        _guard = std::make_unique<MountGuard>(_target);
    }

    // Runs a tool that must refuse, and checks that nothing changed.
    void expectRefusal(const QString &tool, const QStringList &args, std::optional<uid_t> as)
    {
        const QString before = snapshot(_user, _dir.path());
        const Result r = runTool(tool, args, as);
        EXPECT_TRUE(r.isRefusal()) << tool.toStdString() << " " << args.join(QLatin1Char(' ')).toStdString()
                                   << " -> " << r.status << " out: " << r.out.toStdString()
                                   << " err: " << r.err.toStdString();
        EXPECT_EQ(snapshot(_user, _dir.path()), before) << tool.toStdString() << " "
                                                        << args.join(QLatin1Char(' ')).toStdString();
    }
    void expectMountRefused(const QString &path) { expectRefusal(QStringLiteral("mount"), plainMountArgs(_disk->device(), path), _user); }

    QMTemporaryDir _dir;
    uid_t _user = 0;
    std::unique_ptr<RamDisk> _disk;
    QString _target;
    std::unique_ptr<MountGuard> _guard;
};

} // namespace

TEST_F(DiskToolRefusal, TheTargetDirectoryItselfIsAccepted)
{
    // The other refusals of this fixture mean something only if this works.
    const Result r = runTool(QStringLiteral("mount"), plainMountArgs(_disk->device(), _target), _user);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _user).status, 0);
}

TEST_F(DiskToolRefusal, MountPathsThatAreNotPlainDirectoriesOfTheCaller)
{
    expectMountRefused(QStringLiteral("relative/target"));
    expectMountRefused(_target + QStringLiteral("/../target"));
    expectMountRefused(QStringLiteral("/usr/share"));
    expectMountRefused(QStringLiteral("/media"));
    expectMountRefused(QStringLiteral("/tmp"));
    // Inside a system directory, even where the caller owns the directory itself.
    QMTemporaryDir inTmp(QStringLiteral("/tmp/quilmo-refusal-XXXXXX"));
    ASSERT_TRUE(inTmp.isValid());
    ASSERT_EQ(chown(inTmp.path().toLocal8Bit().constData(), _user, _user), 0);
    expectMountRefused(inTmp.path());
    expectMountRefused(QStringLiteral("/"));

    // Through a link on the way, and a link in place of the last component.
    const QString real = _dir.path() + QStringLiteral("/real");
    ASSERT_TRUE(QDir().mkpath(real + QStringLiteral("/inner")));
    ASSERT_EQ(chown(real.toLocal8Bit().constData(), _user, _user), 0);
    ASSERT_EQ(chown((real + QStringLiteral("/inner")).toLocal8Bit().constData(), _user, _user), 0);
    ASSERT_TRUE(QFile::link(real, _dir.path() + QStringLiteral("/via")));
    expectMountRefused(_dir.path() + QStringLiteral("/via/inner"));
    ASSERT_TRUE(QFile::link(real, _dir.path() + QStringLiteral("/last")));
    expectMountRefused(_dir.path() + QStringLiteral("/last"));
    // A link swapped in where the caller's directory was.
    ASSERT_TRUE(QDir().rmdir(_target));
    ASSERT_TRUE(QFile::link(real, _target));
    expectMountRefused(_target);
    ASSERT_TRUE(QFile::remove(_target));
    ASSERT_TRUE(QDir().mkdir(_target));

    // Owned by someone else.
    const QString rootsOwn = _dir.path() + QStringLiteral("/roots");
    ASSERT_TRUE(QDir().mkdir(rootsOwn));
    expectMountRefused(rootsOwn);
    // Not a directory, or missing.
    QFile plain(_dir.path() + QStringLiteral("/file"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    expectMountRefused(plain.fileName());
    expectMountRefused(_dir.path() + QStringLiteral("/missing"));
}

TEST_F(DiskToolRefusal, AMountPointOfSomethingForeign)
{
    // Owned by the caller, so that only its being a foreign mount point stands in the way.
    const QByteArray options = QStringLiteral("size=1m,uid=%1,gid=%1").arg(_user).toLatin1();
    ASSERT_EQ(mount("quilmo-test", _target.toLocal8Bit().constData(), "tmpfs", 0, options.constData()), 0);
    MountGuard tmpfs(_target);
    expectMountRefused(_target);
    // Nor may it be unmounted through the tool.
    expectRefusal(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _user);
    expectRefusal(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, std::nullopt);
    EXPECT_TRUE(isMountPoint(_target));
}

TEST_F(DiskToolRefusal, DevicesOfAnotherUser)
{
    const uid_t other = testUid(1);
    const QString device = _disk->device();
    const QString otherTarget = _dir.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkdir(otherTarget));
    ASSERT_EQ(chown(otherTarget.toLocal8Bit().constData(), other, other), 0);
    MountGuard guard(otherTarget);
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Mine"), device}, other);
    expectRefusal(QStringLiteral("mount"), plainMountArgs(device, otherTarget), other);
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, other);
    expectRefusal(QStringLiteral("diskutil"), {QStringLiteral("erasevolume"), QStringLiteral("HFS+"), QStringLiteral("Mine"), device}, other);

    // Mounted by its owner, it cannot be unmounted by the other user either.
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(device, _target), _user).status, 0);
    expectRefusal(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, other);
    // Root may act on every device.
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}).status, 0);
}

TEST_F(DiskToolRefusal, LoopDevicesThatAreNotOurs)
{
    // One over a file of the test's own, and one whose memory file merely carries our name.
    QFile image(_dir.path() + QStringLiteral("/image"));
    ASSERT_TRUE(image.open(QIODevice::WriteOnly));
    ASSERT_TRUE(image.resize(8 << 20));
    image.close();
    const QString forgedPath = QStringLiteral("/dev/shm/quilmo-ram-%1-forged%2").arg(_user).arg(getpid());
    QFile forged(forgedPath);
    ASSERT_TRUE(forged.open(QIODevice::WriteOnly));
    ASSERT_TRUE(forged.resize(8 << 20));
    forged.close();
    struct RemoveForged {
        QString path;
        ~RemoveForged() { QFile::remove(path); }
    } removeForged{forgedPath};

    for (const QString &file : {image.fileName(), forgedPath}) {
        ForeignLoop foreign(file);
        ASSERT_FALSE(foreign.device().isEmpty());
        for (const std::optional<uid_t> &as : {std::optional<uid_t>(_user), std::optional<uid_t>()}) {
            expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("X"), foreign.device()}, as);
            expectRefusal(QStringLiteral("mount"), plainMountArgs(foreign.device(), _target), as);
            // Root may release a device that merely looks like ours (once the record is lost
            // there is no telling the two apart); nothing else.
            if (as || file == image.fileName())
                expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), foreign.device()}, as);
        }
        EXPECT_EQ(backingOf(foreign.device()), file);
        EXPECT_TRUE(blkidType(foreign.device()).isEmpty());
        if (file == forgedPath) {
            const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), foreign.device()});
            EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
            EXPECT_TRUE(backingOf(foreign.device()).isEmpty());
            EXPECT_TRUE(QFileInfo::exists(forgedPath)) << "the file is not Quilmo's to delete";
        }
    }
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("X"), QStringLiteral("/dev/sda")}, std::nullopt);
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), QStringLiteral("/dev/loop")}, std::nullopt);
}

TEST_F(DiskToolRefusal, SizesOfNothingOrBeyondMemory)
{
    const quint64 memorySectors = quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE)) / 512;
    for (const QString &url : {QStringLiteral("ram://0"), QStringLiteral("ram://%1").arg(memorySectors + 1),
                               QStringLiteral("ram://99999999999999999999"), QStringLiteral("ram://12x"),
                               QStringLiteral("file:///dev/shm/x")}) {
        expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("attach"), QStringLiteral("-nomount"), QStringLiteral("-plist"), url}, _user);
    }
}

TEST_F(DiskToolRefusal, NamesWithControlCharactersOrSlashes)
{
    const QString device = _disk->device();
    for (const QString &name : {QStringLiteral("a/b"), QStringLiteral("tab\there"), QStringLiteral("new\nline"),
                                QStringLiteral(""), QStringLiteral(".."), QStringLiteral("-x")}) {
        expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), name, device}, _user);
        expectRefusal(QStringLiteral("diskutil"), {QStringLiteral("erasevolume"), QStringLiteral("HFS+"), name, device}, _user);
    }
    // The volume still carries the label it was made with.
    QString label;
    QMTest::run(QStringLiteral("/usr/sbin/blkid"), {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("value"),
                                                    QStringLiteral("-s"), QStringLiteral("LABEL"), device},
                &label);
    EXPECT_EQ(label.trimmed(), QStringLiteral("Test"));
}

TEST_F(DiskToolRefusal, InodeCountsThatAreNotNumbersOrMoreThanTheDeviceTakes)
{
    const QString device = _disk->device();
    const quint64 most = QMFormatRules::maxInodeCount(65536ULL * 512);
    const QStringList counts{QString(), QStringLiteral("0"), QStringLiteral("-5"), QStringLiteral("+5"),
                             QStringLiteral(" 5"), QStringLiteral("5 "), QStringLiteral("007"), QStringLiteral("1e5"),
                             QStringLiteral("0x10"), QStringLiteral("5\n"), QStringLiteral("99999999999999999999"),
                             QString::number(most + 1)};
    for (const QString &count : counts)
        expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-N"), count, QStringLiteral("-v"), QStringLiteral("N"), device}, _user);
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("N"), device, QStringLiteral("-N")}, _user);
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-N"), QStringLiteral("100"), QStringLiteral("-N"),
                                                QStringLiteral("200"), QStringLiteral("-v"), QStringLiteral("N"), device}, _user);
    // Every refusal came before the format: the volume is the one the fixture made.
    EXPECT_EQ(labelOf(device), QStringLiteral("Test"));
    // The edge itself is taken.
    const Result edge = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-N"), QString::number(most),
                                                              QStringLiteral("-v"), QStringLiteral("Edge"), device}, _user);
    EXPECT_EQ(edge.status, 0) << edge.err.toStdString();
    EXPECT_EQ(labelOf(device), QStringLiteral("Edge"));
}

TEST_F(DiskToolRefusal, ArgumentsThatWouldBeReadAsOptions)
{
    const QString device = _disk->device();
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), QStringLiteral("-force")}, _user);
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device, QStringLiteral("-force")}, _user);
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("attach"), QStringLiteral("-nomount"), QStringLiteral("-plist"),
                                              QStringLiteral("-shadow"), QStringLiteral("ram://2048")}, _user);
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-J"), QStringLiteral("-v"), QStringLiteral("N"), device}, _user);
    expectRefusal(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("N"), QStringLiteral("-F")}, _user);
    expectRefusal(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("noatime,suid"), QStringLiteral("-t"),
                                            QStringLiteral("hfs"), device, _target}, _user);
    expectRefusal(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("dev"), QStringLiteral("-t"),
                                            QStringLiteral("hfs"), device, _target}, _user);
    expectRefusal(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("noatime"), QStringLiteral("--bind"),
                                            device, _target}, _user);
    expectRefusal(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("hfs"), QStringLiteral("-o"),
                                            QStringLiteral("noatime"), device, QStringLiteral("-target")}, _user);
    expectRefusal(QStringLiteral("umount"), {QStringLiteral("-l"), _target}, _user);
    expectRefusal(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"), QStringLiteral("-x")}, _user);
}

TEST(DiskToolNames, ANameBeyondTheFileSystemsLimitsChangesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDisk disk(65536);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    const QString label = labelOf(disk.device()), uuid = uuidOf(disk.device());
    ASSERT_EQ(label, QStringLiteral("Test"));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("/media/root")));
    const QStringList mediaBefore = QDir(QStringLiteral("/media/root")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    // 300 bytes; 256 bytes in 128 two-byte characters (128 characters would pass a count of
    // characters); and names that read as options.
    const QString twoByte = QString(128, QChar(0xE9));
    for (const QString &name : {QString(300, QLatin1Char('n')), twoByte, QStringLiteral("-F"), QStringLiteral("--help")}) {
        for (const QStringList &args : {QStringList{QStringLiteral("newfs_hfs"), QStringLiteral("-v"), name, disk.device()},
                                        QStringList{QStringLiteral("diskutil"), QStringLiteral("erasevolume"),
                                                    QStringLiteral("HFS+"), name, disk.device()}}) {
            const Result r = runTool(args.first(), args.mid(1));
            EXPECT_TRUE(r.isRefusal()) << args.first().toStdString() << " " << name.size() << ": " << r.err.toStdString();
        }
        EXPECT_EQ(labelOf(disk.device()), label);
        EXPECT_EQ(uuidOf(disk.device()), uuid);
        EXPECT_TRUE(mountPointsOf(disk.device()).isEmpty());
    }
    EXPECT_EQ(QDir(QStringLiteral("/media/root")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), mediaBefore);

    // 255 bytes is the limit itself: accepted, and the label is its first 16 bytes.
    const Result edge = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QString(255, QLatin1Char('e')), disk.device()});
    EXPECT_EQ(edge.status, 0) << edge.err.toStdString();
    EXPECT_EQ(labelOf(disk.device()), QString(16, QLatin1Char('e')));
}

TEST(DiskToolNames, DiskutilFindsItsPlaceBeforeItErases)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDisk disk(65536);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    const QString uuid = uuidOf(disk.device());
    // A name of the full 255 bytes whose place is taken: "name 1" would be too long, so
    // there is no place at all, and that must be known before the device is erased.
    const QString name = QStringLiteral("q%1-").arg(getpid()) + QString(255, QLatin1Char('x'));
    const QString full = name.left(255);
    const QString taken = QStringLiteral("/media/root/") + full;
    ASSERT_TRUE(QDir().mkpath(taken));
    struct Remove {
        QString path;
        ~Remove() { QMFileRemover::removePath(path).ok(); }
    } remove{taken};
    QFile keep(taken + QStringLiteral("/keep"));
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));
    keep.close();
    const Result r = runTool(QStringLiteral("diskutil"), {QStringLiteral("erasevolume"), QStringLiteral("HFS+"), full, disk.device()});
    EXPECT_TRUE(r.isRefusal()) << r.status << " " << r.err.toStdString();
    EXPECT_EQ(uuidOf(disk.device()), uuid);
    EXPECT_EQ(labelOf(disk.device()), QStringLiteral("Test"));
    EXPECT_TRUE(mountPointsOf(disk.device()).isEmpty());
}

TEST_F(DiskToolRefusal, MdutilOnlyInTheCallersOwnPlaces)
{
    const QString marker = QStringLiteral("/.trackerignore");
    // Root's directory, another user's, and another user's with a marker to remove.
    const QString roots = _dir.path() + QStringLiteral("/roots");
    const QString others = _dir.path() + QStringLiteral("/others");
    ASSERT_TRUE(QDir().mkdir(roots) && QDir().mkdir(others));
    ASSERT_EQ(chown(others.toLocal8Bit().constData(), testUid(1), testUid(1)), 0);
    QFile existing(others + marker);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.close();
    for (const QString &place : {roots, others}) {
        for (const QStringList &args : {QStringList{QStringLiteral("-i"), QStringLiteral("off"), place},
                                        QStringList{QStringLiteral("-i"), QStringLiteral("on"), place},
                                        QStringList{QStringLiteral("-E"), place}, QStringList{QStringLiteral("-d"), place}})
            expectRefusal(QStringLiteral("mdutil"), args, _user);
    }
    EXPECT_FALSE(QFileInfo::exists(roots + marker));
    EXPECT_TRUE(QFileInfo::exists(others + marker));

    // The caller's own directory: the marker is theirs.
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"), _target}, _user).status, 0);
    struct stat st;
    ASSERT_EQ(stat((_target + marker).toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_uid, _user);
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("on"), _target}, _user).status, 0);
    EXPECT_FALSE(QFileInfo::exists(_target + marker));

    // Their own mounted RAM disk, even where its root is not theirs; another user's is not.
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(_disk->device(), _target), _user).status, 0);
    ASSERT_EQ(chown(_target.toLocal8Bit().constData(), 0, 0), 0);
    EXPECT_EQ(runTool(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("off"), _target}, _user).status, 0);
    EXPECT_TRUE(QFileInfo::exists(_target + marker));
    expectRefusal(QStringLiteral("mdutil"), {QStringLiteral("-i"), QStringLiteral("on"), _target}, testUid(1));
    EXPECT_TRUE(QFileInfo::exists(_target + marker));
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _user).status, 0);
}
