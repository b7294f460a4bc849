// What real unprivileged users on the same machine try against the tool, which runs as
// root for them: holding a lock that every user can take, committing the machine's memory
// between them, moving their folder while it is being mounted, and keeping an ejected RAM
// disk alive in a mount namespace of their own.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"
#include "QMTestUser.h"
#include "QMVolumeRules.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <iostream>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

quint64 physicalMemory()
{
    return quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE));
}

QByteArray bytes(const QString &path)
{
    return QFile::encodeName(path);
}

// A child process of a test user, stopped and killed by the test.
struct Child {
    pid_t pid = -1;
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    // Stops it and waits until it is stopped: whatever it does is done or not begun.
    bool stop() const
    {
        int status = 0;
        return kill(pid, SIGSTOP) == 0 && waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
    }
    void resume() const { kill(pid, SIGCONT); }
};

class DiskToolAttack : public ::testing::TestWithParam<Realisation> {};

} // namespace

TEST(DiskToolLock, AUserHoldingALockOnRunDoesNotSlowTheTool)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTestUser attacker(QStringLiteral("lk"));
    QM_REQUIRE_TEST_USER(attacker);
    // As `flock -x /run sleep 600` would: /run is open to every user.
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    Child holder{attacker.spawn([&] {
        const int fd = open("/run", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            return 3;
        const char held = 1;
        if (write(ready[1], &held, 1) != 1)
            return 4;
        pause();
        return 0;
    })};
    close(ready[1]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1) << "the user could not lock /run";
    close(ready[0]);
    const int probe = open("/run", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_NE(flock(probe, LOCK_EX | LOCK_NB), 0) << "the user's lock is not held";
    close(probe);

    // The budgets only guard against a hang: the lock is held until the test ends.
    const int budget = 30000;
    const Result info = runTool(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")},
                                std::nullopt, budget);
    EXPECT_EQ(info.status, 0) << info.err.toStdString();
    const uid_t user = attacker.uid();
    const Result attach = runTool(QStringLiteral("hdiutil"),
                                  attachArgs(2048),
                                  user, budget);
    const QString device = deviceFromAttachOutput(attach.out);
    ASSERT_EQ(attach.status, 0) << attach.err.toStdString();
    const QString identity = identityOf(device);
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, user, budget);
    EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
    releaseDevice(device, identity);
}

TEST(DiskToolLock, AWaitForTheToolsOwnLockIsBoundedAndSaysWhy)
{
    QM_REQUIRE_LOOP_DEVICES();
    IsolatedTool isolated;
    const Result first = runTool(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")});
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    // Another run holding the lock for longer than the tool waits (this build: 5 seconds).
    const int lock = open(bytes(IsolatedTool::stateDir() + QStringLiteral("/devices.lock")).constData(),
                          O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    const Result waited = runTool(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")},
                                  std::nullopt, 60000);
    EXPECT_TRUE(waited.isRefusal()) << waited.status << " " << waited.err.toStdString();
    EXPECT_TRUE(waited.err.contains(QStringLiteral("busy with the RAM disks for 5 seconds"))) << waited.err.toStdString();
    close(lock);
    EXPECT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("info"), QStringLiteral("-plist")}).status, 0);
}

// Against a record of the test's own, so that no other RAM disk on the machine moves the
// figures. Attaching takes no memory until the disk is written.
TEST_P(DiskToolAttack, TwoUsersCannotCommitMoreThanTheGlobalLimit)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTestUser first(QStringLiteral("ga")), second(QStringLiteral("gb"));
    QM_REQUIRE_TEST_USER(first);
    QM_REQUIRE_TEST_USER(second);
    IsolatedTool isolated(GetParam());
    const quint64 all = QMVolumeRules::memoryForAllRamDisks(physicalMemory());
    const quint64 share = QMVolumeRules::memoryPerUser(physicalMemory());
    const quint64 shareSectors = share / 512;
    AttachedDevices attached;

    // Each user alone stops at their share: half of everything.
    ASSERT_TRUE(attached.attach(shareSectors, second.uid()));
    Result over;
    EXPECT_FALSE(attached.attach(1, second.uid(), &over));
    EXPECT_TRUE(over.isRefusal()) << over.status << " " << over.err.toStdString();
    EXPECT_TRUE(over.err.contains(QStringLiteral("the %1 bytes").arg(share))) << over.err.toStdString();
    EXPECT_TRUE(over.err.contains(QStringLiteral("committed now: %1 bytes").arg(shareSectors * 512)))
        << over.err.toStdString();
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), attached.devices.back().first}, second.uid())
                  .status,
              0);

    // Root has no share (here it takes more than one), but is held to the total like everyone.
    const quint64 rootSectors = shareSectors + 8;
    ASSERT_TRUE(attached.attach(rootSectors, std::nullopt));

    // Within their own shares, the two users get only what is left of the total.
    Result refused;
    EXPECT_FALSE(attached.attach(shareSectors, first.uid(), &refused));
    EXPECT_TRUE(refused.isRefusal()) << refused.status << " " << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(QStringLiteral("all RAM disks together"))) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(QStringLiteral("the %1 bytes").arg(all))) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains(QStringLiteral("committed now: %1 bytes").arg(rootSectors * 512)))
        << refused.err.toStdString();
    const quint64 rest = (all - rootSectors * 512) / 512;
    EXPECT_TRUE(attached.attach(rest, first.uid())) << "up to the limit, to the sector";
    EXPECT_FALSE(attached.attach(1, first.uid()));
    EXPECT_FALSE(attached.attach(1, second.uid())) << "the second user's share is of no help";
    EXPECT_FALSE(attached.attach(1, std::nullopt)) << "root is held to the total too";
}

// The folder moved back and forth, by its owner, between their place and a system
// directory while the tool mounts it: the mount lands at the checked place or not at all.
TEST_P(DiskToolAttack, AFolderMovedDuringTheMountNeverGetsTheMountOutsideTheCheckedPlace)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTestUser attacker(QStringLiteral("mv"));
    QM_REQUIRE_TEST_USER(attacker);
    RealisationTool tool(GetParam());
    const uid_t user = attacker.uid();
    RamDisk disk(65536, user);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    QMTemporaryDir dir;
    QMTemporaryDir system(QStringLiteral("/tmp/quilmo-mount-race-XXXXXX"));
    ASSERT_TRUE(dir.isValid() && system.isValid());
    const QString home = dir.path() + QStringLiteral("/home");
    const QString target = home + QStringLiteral("/d");
    const QString outside = system.path() + QStringLiteral("/x");
    for (const QString &d : {home, target, outside})
        ASSERT_TRUE(QDir().mkdir(d));
    for (const QString &d : {home, target, system.path(), outside})
        ASSERT_EQ(chown(bytes(d).constData(), user, attacker.gid()), 0);
    ASSERT_EQ(chmod(bytes(dir.path()).constData(), 0755), 0);
    struct stat original {};
    ASSERT_EQ(stat(bytes(target).constData(), &original), 0);
    MountGuard g1(target), g2(outside);

    // Both names always exist: each swap exchanges them in one step.
    const QByteArray a = bytes(target), b = bytes(outside);
    Child swapper{attacker.spawn([&] {
        for (;;) {
            renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE);
            usleep(20);
        }
        return 0;
    })};
    ASSERT_TRUE(swapper.stop());

    constexpr int kRounds = 250;
    int mounted = 0, movedAway = 0, swapped = 0;
    for (int round = 0; round < kRounds; ++round) {
        swapper.resume();
        const Result r = runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), target), user);
        ASSERT_TRUE(swapper.stop());
        const QStringList points = mountPointsOf(disk.device());
        ASSERT_FALSE(isMountPoint(outside)) << "round " << round << ": mounted in a system directory";
        if (r.status != 0) {
            EXPECT_TRUE(r.isRefusal()) << r.err.toStdString();
            ASSERT_TRUE(points.isEmpty()) << "round " << round << ": " << points.join(u' ').toStdString();
            movedAway += r.err.contains(QStringLiteral("while it was being mounted")) ? 1 : 0;
        } else {
            ++mounted;
            ASSERT_EQ(points, QStringList{target}) << "round " << round;
            ASSERT_EQ(umount2(bytes(target).constData(), MNT_DETACH), 0);
        }
        struct stat now {};
        swapped += stat(a.constData(), &now) == 0 && now.st_ino != original.st_ino ? 1 : 0;
    }
    std::cout << "moved during the mount: " << mounted << " mounted, " << movedAway
              << " taken back after landing elsewhere, of " << kRounds << " (" << swapped
              << " ended with the folders swapped)" << std::endl;
    EXPECT_GT(mounted, 0);
    EXPECT_GT(swapped, 0) << "the folders were never moved";
}

// Another user's mount namespace keeps an ejected RAM disk alive: its memory still counts in
// the total, but no longer against its owner, who can make a new one at once.
TEST_P(DiskToolAttack, ARamDiskHeldInAnotherUsersNamespaceNoLongerCountsAgainstItsOwner)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable() || !QFileInfo(QStringLiteral("/usr/bin/unshare")).isExecutable())
        GTEST_SKIP() << "needs setpriv and unshare";
    QMTestUser owner(QStringLiteral("ow")), other(QStringLiteral("ns"));
    QM_REQUIRE_TEST_USER(owner);
    QM_REQUIRE_TEST_USER(other);
    IsolatedTool isolated(GetParam());
    const quint64 all = QMVolumeRules::memoryForAllRamDisks(physicalMemory());
    const quint64 shareSectors = QMVolumeRules::memoryPerUser(physicalMemory()) / 512;
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.path() + QStringLiteral("/volume");
    ASSERT_TRUE(QDir().mkdir(target));
    ASSERT_EQ(chown(bytes(target).constData(), owner.uid(), owner.gid()), 0);
    MountGuard guard(target);

    // The owner's whole share, mounted.
    AttachedDevices attached;
    ASSERT_TRUE(attached.attach(shareSectors, owner.uid()));
    const QString held = attached.devices.front().first;
    ASSERT_EQ(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Held"), held}, owner.uid()).status, 0);
    attached.devices.front().second = identityOf(held);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(held, target), owner.uid()).status, 0);

    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/setpriv"),
                 {QStringLiteral("--reuid=%1").arg(other.uid()), QStringLiteral("--regid=%1").arg(other.gid()),
                  QStringLiteral("--clear-groups"), QStringLiteral("/usr/bin/unshare"), QStringLiteral("-Urm"),
                  QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("echo held; read x")});
    KillAtEnd stop{holder};
    ASSERT_TRUE(holder.waitForReadyRead(10000)) << holder.readAllStandardError().toStdString();
    ASSERT_EQ(holder.readLine().trimmed(), QByteArray("held"));

    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, owner.uid()).status, 0);
    const Result plain = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), held}, owner.uid());
    EXPECT_TRUE(plain.isRefusal()) << plain.err.toStdString();
    const Result forced = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), QStringLiteral("-force"), held},
                                  owner.uid());
    ASSERT_EQ(forced.status, 0) << forced.err.toStdString();
    EXPECT_TRUE(forced.out.contains(QStringLiteral("still held"))) << forced.out.toStdString();
    const Result reuse = runTool(QStringLiteral("mount"), plainMountArgs(held, target), owner.uid());
    EXPECT_TRUE(reuse.isRefusal()) << "a released RAM disk is nobody's to mount: " << reuse.err.toStdString();

    // Its owner makes a new one of their whole share at once.
    Result again;
    EXPECT_TRUE(attached.attach(shareSectors, owner.uid(), &again)) << again.err.toStdString();
    // Its memory still counts in the total, named apart.
    Result full;
    EXPECT_FALSE(attached.attach((all - 2 * shareSectors * 512) / 512 + 1, std::nullopt, &full));
    EXPECT_TRUE(full.isRefusal()) << full.status << " " << full.err.toStdString();
    EXPECT_TRUE(full.err.contains(QStringLiteral("of which %1 bytes").arg(shareSectors * 512))) << full.err.toStdString();
    EXPECT_TRUE(full.err.contains(QStringLiteral("in 1 RAM disk released, waiting for the kernel"))) << full.err.toStdString();

    // Once the other user lets go, so does the kernel, and the total has room again.
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    Result room;
    bool attachedAgain = false;
    for (int i = 0; i < 200 && !attachedAgain; ++i) {
        attachedAgain = attached.attach(8, std::nullopt, &room);
        if (!attachedAgain)
            QThread::msleep(10);
    }
    EXPECT_TRUE(attachedAgain) << room.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Realisation, DiskToolAttack, ::testing::Values(Realisation::Memory, Realisation::Loop),
                         [](const auto &info) { return std::string(realisationName(info.param)); });
