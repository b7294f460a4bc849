// The tool is a privilege boundary: every refusal exits 1 with one line on standard error
// and changes nothing.

#include "DiskToolTestSupport.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/mount.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

QStringList mountArgs(const QString &device, const QString &path)
{
    return {QStringLiteral("-o"), QStringLiteral("noatime"), QStringLiteral("-t"), QStringLiteral("hfs"), device, path};
}

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
    void expectMountRefused(const QString &path) { expectRefusal(QStringLiteral("mount"), mountArgs(_disk->device(), path), _user); }

    QTemporaryDir _dir;
    uid_t _user = 0;
    std::unique_ptr<RamDisk> _disk;
    QString _target;
    std::unique_ptr<MountGuard> _guard;
};

} // namespace

TEST_F(DiskToolRefusal, TheTargetDirectoryItselfIsAccepted)
{
    // The other refusals of this fixture mean something only if this works.
    const Result r = runTool(QStringLiteral("mount"), mountArgs(_disk->device(), _target), _user);
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
    QTemporaryDir inTmp(QStringLiteral("/tmp/quilmo-refusal-XXXXXX"));
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
    expectRefusal(QStringLiteral("mount"), mountArgs(device, otherTarget), other);
    expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, other);
    expectRefusal(QStringLiteral("diskutil"), {QStringLiteral("erasevolume"), QStringLiteral("HFS+"), QStringLiteral("Mine"), device}, other);

    // Mounted by its owner, it cannot be unmounted by the other user either.
    ASSERT_EQ(runTool(QStringLiteral("mount"), mountArgs(device, _target), _user).status, 0);
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
            expectRefusal(QStringLiteral("mount"), mountArgs(foreign.device(), _target), as);
            expectRefusal(QStringLiteral("hdiutil"), {QStringLiteral("detach"), foreign.device()}, as);
        }
        EXPECT_EQ(backingOf(foreign.device()), file);
        EXPECT_TRUE(blkidType(foreign.device()).isEmpty());
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
