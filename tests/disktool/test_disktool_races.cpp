// What an attacker on the same machine tries against the mount and unmount steps: paths
// swapped for links (or for other directories) while the tool runs, and programs or device
// nodes put onto a RAM disk to gain rights.

#include "DiskToolTestSupport.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

constexpr int kRounds = 250;

QByteArray bytes(const QString &path)
{
    return path.toLocal8Bit();
}

bool exchange(const QString &a, const QString &b)
{
    return renameat2(AT_FDCWD, bytes(a).constData(), AT_FDCWD, bytes(b).constData(), RENAME_EXCHANGE) == 0;
}

// Swaps pairs of names over and over on its own thread while `running` is set.
class Swapper {
public:
    explicit Swapper(std::vector<std::pair<QString, QString>> pairs)
        : _pairs(std::move(pairs)), _thread([this] { run(); })
    {
    }
    ~Swapper()
    {
        _stop = true;
        _thread.join();
    }
    void pause()
    {
        _running = false;
        // Wait for the swap in progress, if any, to end.
        while (_busy)
            std::this_thread::yield();
    }
    void resume() { _running = true; }
    int swaps() const { return _swaps; }

private:
    void run()
    {
        while (!_stop) {
            if (!_running) {
                std::this_thread::yield();
                continue;
            }
            for (const auto &[a, b] : _pairs) {
                _busy = true;
                if (_running && exchange(a, b))
                    ++_swaps;
                _busy = false;
            }
            // Still thousands of swaps while the tool runs, without starving it of the CPU.
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    std::vector<std::pair<QString, QString>> _pairs;
    std::atomic<bool> _stop{false}, _running{false}, _busy{false};
    std::atomic<int> _swaps{0};
    std::thread _thread;
};

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

} // namespace

TEST(DiskToolRace, MountingWhileThePlaceIsSwappedForALinkNeverMountsElsewhere)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid();
    RamDisk disk(65536, user);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The caller's own directory, and a link to another directory of theirs: only the link
    // rule stands between the tool and the wrong place.
    const QString target = dir.path() + QStringLiteral("/target");
    const QString swap = dir.path() + QStringLiteral("/swap");
    const QString elsewhere = dir.path() + QStringLiteral("/elsewhere");
    for (const QString &d : {target, elsewhere}) {
        ASSERT_TRUE(QDir().mkdir(d));
        ASSERT_EQ(chown(bytes(d).constData(), user, user), 0);
    }
    ASSERT_TRUE(writeText(target + QStringLiteral("/.intended"), "yes"));
    ASSERT_TRUE(QFile::link(elsewhere, swap));
    MountGuard g1(target), g2(swap), g3(elsewhere);

    int mounted = 0, refused = 0;
    {
        Swapper swapper({{target, swap}});
        for (int round = 0; round < kRounds; ++round) {
            swapper.resume();
            const Result r = runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), target), user);
            swapper.pause();
            const QStringList points = mountPointsOf(disk.device());
            ASSERT_FALSE(isMountPoint(elsewhere)) << "round " << round;
            if (r.status != 0) {
                ++refused;
                EXPECT_TRUE(points.isEmpty()) << "round " << round;
                continue;
            }
            ++mounted;
            ASSERT_EQ(points.size(), 1) << "round " << round;
            // Wherever its name is now, the mount covers the intended directory.
            const QString point = points.first();
            EXPECT_TRUE(point == target || point == swap) << point.toStdString();
            ASSERT_EQ(umount2(bytes(point).constData(), MNT_DETACH), 0);
            EXPECT_EQ(readText(point + QStringLiteral("/.intended")), QStringLiteral("yes")) << "round " << round;
        }
        std::cout << "mount race: " << mounted << " mounted, " << refused << " refused, " << swapper.swaps()
                  << " swaps" << std::endl;
    }
    EXPECT_EQ(mounted + refused, kRounds);
}

TEST(DiskToolRace, UnmountingWhileThePathIsSwappedNeverUnmountsAnotherVolume)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid();
    RamDisk disk(65536, user);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // a: the parent of our volume; b: the parent of a foreign volume (a tmpfs of the
    // caller's, so that only its being foreign protects it); c: a link to whatever is at b.
    const QString a = dir.path() + QStringLiteral("/a"), b = dir.path() + QStringLiteral("/b"),
                  c = dir.path() + QStringLiteral("/c");
    for (const QString &d : {a, b}) {
        ASSERT_TRUE(QDir().mkpath(d + QStringLiteral("/vol")));
        ASSERT_EQ(chown(bytes(d + QStringLiteral("/vol")).constData(), user, user), 0);
        ASSERT_TRUE(writeText(d + QStringLiteral("/which"), d == a ? "ours" : "foreign"));
    }
    ASSERT_TRUE(QFile::link(QStringLiteral("b"), c));
    const QByteArray tmpfsOptions = QStringLiteral("size=1m,uid=%1,gid=%1").arg(user).toLatin1();
    ASSERT_EQ(mount("quilmo-race", bytes(b + QStringLiteral("/vol")).constData(), "tmpfs", 0, tmpfsOptions.constData()), 0);
    // Whichever names they end up under.
    struct Cleanup {
        QStringList places;
        ~Cleanup()
        {
            for (const QString &p : places) {
                while (umount2(bytes(p + QStringLiteral("/vol")).constData(), MNT_DETACH) == 0) {
                }
            }
        }
    } cleanup{{a, b, c}};
    auto placeOf = [&](const char *which) {
        for (const QString &p : {a, b, c}) {
            if (!QFileInfo(p).isSymLink() && readText(p + QStringLiteral("/which")) == QLatin1String(which))
                return p + QStringLiteral("/vol");
        }
        return QString();
    };
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), a + QStringLiteral("/vol")), user).status, 0);

    int unmounted = 0, refused = 0;
    {
        Swapper swapper({{a, b}, {a, c}});
        for (int round = 0; round < kRounds; ++round) {
            swapper.resume();
            const Result r = runTool(QStringLiteral("umount"), {QStringLiteral("-f"), a + QStringLiteral("/vol")}, user);
            swapper.pause();
            const QString foreign = placeOf("foreign");
            ASSERT_TRUE(isMountPoint(foreign)) << "round " << round << ": the foreign volume was unmounted";
            const QString ours = placeOf("ours");
            if (r.status != 0) {
                ++refused;
                ASSERT_TRUE(isMountPoint(ours)) << "round " << round << ": " << r.err.toStdString();
                continue;
            }
            ++unmounted;
            ASSERT_FALSE(isMountPoint(ours)) << "round " << round;
            const Result again = runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), ours), user);
            ASSERT_EQ(again.status, 0) << again.err.toStdString();
        }
        std::cout << "umount race: " << unmounted << " unmounted, " << refused << " refused, " << swapper.swaps()
                  << " swaps" << std::endl;
    }
    EXPECT_EQ(unmounted + refused, kRounds);
}

TEST(DiskToolRights, ASetUserIdProgramOrADeviceNodeOnARamDiskGivesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable())
        GTEST_SKIP() << "needs setpriv";
    const uid_t user = testUid();
    RamDisk disk(65536);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(chmod(bytes(dir.path()).constData(), 0755), 0);
    const QString volume = dir.path() + QStringLiteral("/volume");
    const QString plain = dir.path() + QStringLiteral("/plain");
    ASSERT_TRUE(QDir().mkdir(volume) && QDir().mkdir(plain));
    MountGuard guard(volume);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), volume)).status, 0);
    ASSERT_EQ(chmod(bytes(volume).constData(), 0755), 0);

    // The same set-user-id-root program on the RAM disk and, for comparison, beside it.
    auto effectiveUidRunning = [&](const QString &place) {
        const QString program = place + QStringLiteral("/whoami-id");
        QFile::remove(program);
        if (!QFile::copy(QStringLiteral("/usr/bin/id"), program) || chown(bytes(program).constData(), 0, 0) != 0
            || chmod(bytes(program).constData(), 04755) != 0)
            return QStringLiteral("cannot prepare");
        const Result r = runAsUser(user, program, {QStringLiteral("-u")});
        QFile::remove(program);
        return r.out.trimmed();
    };
    const QString besides = effectiveUidRunning(plain);
    EXPECT_EQ(effectiveUidRunning(volume), QString::number(user));
    if (besides != QStringLiteral("0"))
        std::cout << "note: set-user-id programs give nothing in " << plain.toStdString() << " either" << std::endl;

    // A device node (the null device) made there cannot be opened, even by root.
    for (const QString &place : {volume, plain}) {
        const QByteArray node = bytes(place + QStringLiteral("/null"));
        ASSERT_EQ(mknod(node.constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
        const int fd = open(node.constData(), O_RDWR | O_CLOEXEC);
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (place == volume)
            EXPECT_TRUE(fd < 0 && error == EACCES) << "a device node on a RAM disk was opened";
        else
            EXPECT_GE(fd, 0) << "the comparison place refuses device nodes as well";
        unlink(node.constData());
    }
    EXPECT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), volume}).status, 0);
}
