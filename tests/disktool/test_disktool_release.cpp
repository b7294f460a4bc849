// A device is released only when it really is free: a copy of the mount in another user's
// mount namespace, or a process holding a loop device open, keeps it (and its owner's
// record) until they let go, and a later detach finishes the job.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

QString readFirstLine(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readLine()).trimmed() : QString();
}

QString autoclearOf(const QString &device)
{
    return readFirstLine(QStringLiteral("/sys/block/%1/loop/autoclear").arg(device.section(QLatin1Char('/'), -1)));
}

// Reads standard output until a line equals `line` (or the process ends).
bool waitForLine(QProcess &p, const QString &line, QString *seen)
{
    while (p.state() != QProcess::NotRunning || p.bytesAvailable() > 0) {
        if (!p.canReadLine() && !p.waitForReadyRead(10000))
            return false;
        while (p.canReadLine()) {
            const QString l = QString::fromUtf8(p.readLine()).trimmed();
            if (l == line)
                return true;
            *seen += l + QLatin1Char('\n');
        }
    }
    return false;
}

class DiskToolRelease : public ::testing::TestWithParam<Realisation> {
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        _tool = std::make_unique<RealisationTool>(GetParam());
        if (!QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable() || !QFileInfo(QStringLiteral("/usr/bin/unshare")).isExecutable())
            GTEST_SKIP() << "needs setpriv and unshare";
        ASSERT_TRUE(_dir.isValid());
        // Other users must reach the volume's files through the path.
        ASSERT_EQ(chmod(_dir.path().toLocal8Bit().constData(), 0755), 0);
        _owner = testUid(0);
        _other = testUid(1);
        _disk = std::make_unique<RamDisk>(65536, _owner);
        ASSERT_TRUE(_disk->ok()) << _disk->error().toStdString();
        _target = _dir.path() + QStringLiteral("/volume");
        ASSERT_TRUE(QDir().mkdir(_target));
        ASSERT_EQ(chown(_target.toLocal8Bit().constData(), _owner, _owner), 0);
        _guard = std::make_unique<MountGuard>(_target);
        ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(_disk->device(), _target), _owner).status, 0);
        // A memory instance's root is its owner's alone until they open it.
        ASSERT_EQ(chmod(_target.toLocal8Bit().constData(), 0755), 0);
        QFile file(_target + QStringLiteral("/secret.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("the owner's words");
        file.close();
        ASSERT_EQ(chmod(file.fileName().toLocal8Bit().constData(), 0644), 0);
    }

    // The owner still has the device: attached, listed for them, and theirs to act on.
    void expectStillTheOwners()
    {
        EXPECT_TRUE(_disk->attached());
        EXPECT_TRUE(infoFor(_disk->device(), _owner).has_value()) << "the owner record was dropped";
    }

    // Only a loop device is a device file that a process can hold open.
    bool skipWithoutDeviceFile()
    {
        return GetParam() == Realisation::Memory;
    }

    std::unique_ptr<RealisationTool> _tool;
    QMTemporaryDir _dir;
    uid_t _owner = 0, _other = 0;
    std::unique_ptr<RamDisk> _disk;
    QString _target;
    std::unique_ptr<MountGuard> _guard;
};

} // namespace

TEST_P(DiskToolRelease, ACopyOfTheMountInAnotherUsersNamespaceKeepsTheDeviceUntilItIsLetGo)
{
    const QString file = _target + QStringLiteral("/secret.txt");
    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/setpriv"),
                 {QStringLiteral("--reuid=%1").arg(_other), QStringLiteral("--regid=%1").arg(_other),
                  QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/unshare"), QStringLiteral("-Urm"),
                  QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                  QStringLiteral("cat \"$1\"; echo; echo held; read x; cat \"$1\"; echo; echo read; read y"),
                  QStringLiteral("sh"), file});
    KillAtEnd stop{holder};
    QString seen;
    ASSERT_TRUE(waitForLine(holder, QStringLiteral("held"), &seen)) << seen.toStdString()
                                                                    << holder.readAllStandardError().toStdString();
    EXPECT_TRUE(seen.contains(QStringLiteral("the owner's words")));

    // The owner's own view is unmounted as asked.
    const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _owner);
    ASSERT_EQ(umount.status, 0) << umount.err.toStdString();
    EXPECT_TRUE(mountPointsOf(_disk->device()).isEmpty());

    // The other namespace still has the file system: no one may report the device released.
    for (const std::optional<uid_t> &as : {std::optional<uid_t>(_owner), std::optional<uid_t>()}) {
        const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), _disk->device()}, as);
        EXPECT_TRUE(detach.isRefusal()) << detach.status << " " << detach.err.toStdString();
        EXPECT_TRUE(detach.err.contains(QStringLiteral("still in use by another mount namespace or process")))
            << detach.err.toStdString();
        expectStillTheOwners();
    }
    holder.write("\n");
    seen.clear();
    ASSERT_TRUE(waitForLine(holder, QStringLiteral("read"), &seen));
    EXPECT_TRUE(seen.contains(QStringLiteral("the owner's words"))) << "the holder's copy is the real thing";

    // Once it lets go, the owner's next detach finishes the job.
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), _disk->device()}, _owner);
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(_disk->attached()) << "the device must be free after a successful detach";
}

TEST_P(DiskToolRelease, AForcedDetachOfAnInstanceCopiedIntoAnotherNamespaceLeavesItToTheLastOne)
{
    if (GetParam() != Realisation::Memory)
        GTEST_SKIP() << "the loop device's forced detach is the test below";
    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/setpriv"),
                 {QStringLiteral("--reuid=%1").arg(_other), QStringLiteral("--regid=%1").arg(_other),
                  QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/unshare"), QStringLiteral("-Urm"),
                  QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("echo held; read x")});
    KillAtEnd stop{holder};
    QString seen;
    ASSERT_TRUE(waitForLine(holder, QStringLiteral("held"), &seen)) << seen.toStdString();
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _owner).status, 0);

    const Result forced = runTool(QStringLiteral("hdiutil"),
                                  {QStringLiteral("detach"), QStringLiteral("-force"), _disk->device()}, _owner);
    EXPECT_EQ(forced.status, 0) << forced.err.toStdString();
    EXPECT_TRUE(forced.out.contains(QStringLiteral("still held"))) << forced.out.toStdString();
    // Gone from the owner's world (its own mount and its record); the copy keeps its memory
    // until the other namespace ends.
    EXPECT_FALSE(_disk->attached());
    EXPECT_FALSE(infoFor(_disk->device(), _owner).has_value());
}

TEST_P(DiskToolRelease, AProcessHoldingTheDeviceOpenKeepsItAndNothingIsLeftHalfDone)
{
    if (skipWithoutDeviceFile())
        GTEST_SKIP() << "a memory instance has no device file to hold open";
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _owner).status, 0);
    QProcess holder;
    holder.setStandardInputFile(_disk->device());
    holder.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(holder.waitForStarted());
    KillAtEnd stop{holder};

    const Result refused = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), _disk->device()}, _owner);
    EXPECT_TRUE(refused.isRefusal()) << refused.status << " " << refused.err.toStdString();
    expectStillTheOwners();
    // Not even marked to vanish behind everyone's back when the holder closes it.
    EXPECT_EQ(autoclearOf(_disk->device()), QStringLiteral("0"));
    holder.kill();
    holder.waitForFinished(10000);
    EXPECT_TRUE(_disk->attached());

    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), _disk->device()}, _owner);
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_FALSE(_disk->attached());
}

TEST_P(DiskToolRelease, AForcedDetachOfAHeldDeviceLeavesItToTheKernelAtTheLastClose)
{
    if (skipWithoutDeviceFile())
        GTEST_SKIP() << "a memory instance has no device file to hold open";
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _owner).status, 0);
    QProcess holder;
    holder.setStandardInputFile(_disk->device());
    holder.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    ASSERT_TRUE(holder.waitForStarted());
    KillAtEnd stop{holder};

    // Another user's force is refused before anything is touched.
    const Result foreign = runTool(QStringLiteral("hdiutil"),
                                   {QStringLiteral("detach"), QStringLiteral("-force"), _disk->device()}, _other);
    EXPECT_TRUE(foreign.isRefusal()) << foreign.status << " " << foreign.err.toStdString();
    EXPECT_EQ(autoclearOf(_disk->device()), QStringLiteral("0"));
    const Result option = runTool(QStringLiteral("hdiutil"),
                                  {QStringLiteral("detach"), QStringLiteral("-force"), QStringLiteral("-x")}, _owner);
    EXPECT_TRUE(option.isRefusal()) << option.status << " " << option.err.toStdString();

    const Result forced = runTool(QStringLiteral("hdiutil"),
                                  {QStringLiteral("detach"), QStringLiteral("-force"), _disk->device()}, _owner);
    EXPECT_EQ(forced.status, 0) << forced.err.toStdString();
    EXPECT_EQ(autoclearOf(_disk->device()), QStringLiteral("1"));
    expectStillTheOwners();
    holder.kill();
    holder.waitForFinished(10000);
    for (int i = 0; i < 200 && _disk->attached(); ++i)
        QThread::msleep(10);
    EXPECT_FALSE(_disk->attached()) << "the kernel releases it when the holder lets go";
}

TEST_P(DiskToolRelease, AVolumeLookedIntoForAMomentIsUnmountedOnceItIsLetGo)
{
    // As the helper's scan does: in the volume for a moment, then gone.
    QProcess holder;
    holder.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("cd \"$0\" && echo in && exec sleep 0.7"), _target});
    ASSERT_TRUE(holder.waitForStarted());
    KillAtEnd stop{holder};
    QString seen;
    ASSERT_TRUE(waitForLine(holder, QStringLiteral("in"), &seen)) << seen.toStdString();

    const Result umount = runTool(QStringLiteral("umount"), {_target}, _owner);
    EXPECT_EQ(umount.status, 0) << umount.err.toStdString();
    EXPECT_TRUE(mountPointsOf(_disk->device()).isEmpty());
}

TEST_P(DiskToolRelease, UnmountingLeavesNoMountOfTheDeviceInTheCallersNamespace)
{
    // A second mount of the same file system in this namespace (here made by root), at
    // another place: unmounting the first one does not make the file system go.
    const QString second = _dir.path() + QStringLiteral("/second");
    ASSERT_TRUE(QDir().mkdir(second));
    ASSERT_EQ(QMTest::run(QStringLiteral("/usr/bin/mount"), {QStringLiteral("--bind"), _target, second}), 0);
    MountGuard secondGuard(second);
    const Result umount = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), _target}, _owner);
    EXPECT_EQ(umount.status, 1) << umount.err.toStdString();
    EXPECT_TRUE(umount.err.contains(second)) << umount.err.toStdString();
    EXPECT_EQ(mountPointsOf(_disk->device()), QStringList{second});
}

INSTANTIATE_TEST_SUITE_P(Realisation, DiskToolRelease, ::testing::Values(Realisation::Memory, Realisation::Loop),
                         [](const auto &info) { return std::string(realisationName(info.param)); });
