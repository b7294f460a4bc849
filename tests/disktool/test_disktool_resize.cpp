// A mounted memory instance grows and shrinks in place: nothing it holds is lost, a program
// writing to it never notices, and every refusal leaves it as it was.

#include "DiskToolTestSupport.h"
#include "QMTestSupport.h"
#include "QMVolumeRules.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

constexpr quint64 kMiB = 1048576;

Result resize(const QString &device, quint64 bytes, std::optional<uid_t> as = std::nullopt)
{
    return runTool(QStringLiteral("hdiutil"),
                   {QStringLiteral("resize"), QStringLiteral("-size"), QString::number(bytes / 512), device}, as);
}

quint64 capacityAt(const QString &path)
{
    struct statvfs sv {};
    statvfs(QFile::encodeName(path).constData(), &sv);
    return quint64(sv.f_blocks) * sv.f_frsize;
}

char patternAt(quint64 offset)
{
    return char('a' + (offset / 4096) % 26);
}

// A child that holds `file` open and writes `first` bytes, says so on `ready`, keeps
// rewriting them until told on `go`, then writes on up to `total`. It exits with the errno
// of the first write that failed, 0 when none did.
pid_t startWriter(const QByteArray &file, quint64 first, quint64 total, int ready, int go)
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only system calls from here: this is a copy of a threaded process.
    const int fd = open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        _exit(errno);
    char chunk[65536];
    auto writeAt = [&](quint64 offset) {
        for (size_t i = 0; i < sizeof chunk; ++i)
            chunk[i] = patternAt(offset + i);
        return pwrite(fd, chunk, sizeof chunk, off_t(offset)) == ssize_t(sizeof chunk);
    };
    for (quint64 offset = 0; offset < first; offset += sizeof chunk) {
        if (!writeAt(offset))
            _exit(errno);
    }
    if (write(ready, "r", 1) != 1)
        _exit(EPIPE);
    for (quint64 offset = 0;; offset = (offset + sizeof chunk) % first) {
        struct pollfd p = {go, POLLIN, 0};
        if (poll(&p, 1, 0) == 1)
            break;
        if (!writeAt(offset))
            _exit(errno);
    }
    for (quint64 offset = first; offset < total; offset += sizeof chunk) {
        if (!writeAt(offset))
            _exit(errno);
    }
    _exit(close(fd) == 0 ? 0 : errno);
}

bool holdsPattern(const QString &path, quint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || quint64(f.size()) != size)
        return false;
    const QByteArray data = f.readAll();
    for (quint64 i = 0; i < size; i += 4093) {
        if (data[qsizetype(i)] != patternAt(i))
            return false;
    }
    return true;
}

} // namespace

TEST(DiskToolResize, AMountedInstanceGrowsUnderAProgramThatKeepsWritingAndLosesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    MountedRamDisk r(16 * kMiB);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    const QString file = r.dir.path() + QStringLiteral("/growing");
    int ready[2], go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    // 24 MB do not fit on the 16 MB it has now; the writer goes past 16 MB only after the grow.
    const pid_t writer = startWriter(QFile::encodeName(file), 12 * kMiB, 24 * kMiB, ready[1], go[0]);
    ASSERT_GT(writer, 0);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    const Result grown = resize(r.disk.device(), 32 * kMiB);
    EXPECT_EQ(grown.status, 0) << grown.err.toStdString();
    ASSERT_EQ(write(go[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the writer saw: " << strerror(WEXITSTATUS(status));

    EXPECT_TRUE(holdsPattern(file, 24 * kMiB));
    // The bind shows the new size at once, and the tool's list says it too.
    EXPECT_EQ(capacityAt(r.dir.path()), 32 * kMiB);
    const auto entry = infoFor(r.disk.device());
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->imagePath, QStringLiteral("ram://%1").arg(32 * kMiB / 512));
    EXPECT_EQ(entry->mountPoint, r.dir.path());
}

TEST(DiskToolResize, AShrinkBelowWhatTheVolumeHoldsIsRefusedAndAboveItAccepted)
{
    QM_REQUIRE_LOOP_DEVICES();
    MountedRamDisk r(32 * kMiB);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    const QString file = r.dir.path() + QStringLiteral("/held");
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        QByteArray data(int(10 * kMiB), 'x');
        ASSERT_EQ(f.write(data), data.size());
    }
    const struct statvfs sv = r.stat();
    const quint64 used = quint64(sv.f_blocks - sv.f_bfree) * sv.f_frsize;

    // Below what it holds, and within the margin of 1 % above it.
    for (const quint64 bytes : {8 * kMiB, used, used + used / 100 - 4096}) {
        SCOPED_TRACE(bytes);
        const Result refused = resize(r.disk.device(), bytes);
        EXPECT_TRUE(refused.isRefusal()) << refused.status << " " << refused.err.toStdString();
        EXPECT_TRUE(refused.err.contains(QStringLiteral("1 %"))) << refused.err.toStdString();
        // Its own size, and what the tool's list says of it: as they were.
        EXPECT_EQ(capacityAt(r.dir.path()), 32 * kMiB);
        EXPECT_EQ(infoFor(r.disk.device())->imagePath, QStringLiteral("ram://%1").arg(32 * kMiB / 512));
    }

    const Result shrunk = resize(r.disk.device(), 12 * kMiB);
    EXPECT_EQ(shrunk.status, 0) << shrunk.err.toStdString();
    EXPECT_EQ(capacityAt(r.dir.path()), 12 * kMiB);
    EXPECT_EQ(QFile(file).size(), qint64(10 * kMiB));
    // Never more than its new size: a write past it fails and keeps what was there.
    QFile more(r.dir.path() + QStringLiteral("/more"));
    ASSERT_TRUE(more.open(QIODevice::WriteOnly));
    EXPECT_LT(more.write(QByteArray(int(4 * kMiB), 'y')), qint64(4 * kMiB));
    more.close();
    EXPECT_EQ(QFile(file).size(), qint64(10 * kMiB));
}

TEST(DiskToolResize, RefusalsChangeNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    const uid_t user = testUid(2);
    RamDisk disk(65536, user);
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    const quint64 memory = quint64(sysconf(_SC_PHYS_PAGES)) * quint64(sysconf(_SC_PAGESIZE));
    const quint64 perUser = QMVolumeRules::memoryPerUser(memory);
    const QString before = snapshot(user, dir.path());
    auto expectRefused = [&](const QStringList &args, std::optional<uid_t> as, const QString &reason) {
        const Result r = runTool(QStringLiteral("hdiutil"), QStringList{QStringLiteral("resize")} + args, as);
        EXPECT_TRUE(r.isRefusal()) << args.join(u' ').toStdString() << " -> " << r.status << " " << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(reason)) << r.err.toStdString();
        EXPECT_EQ(snapshot(user, dir.path()), before) << args.join(u' ').toStdString();
    };
    const QString size = QStringLiteral("-size");
    expectRefused({size, QStringLiteral("131072"), disk.device()}, testUid(3), QStringLiteral("another user"));
    expectRefused({size, QStringLiteral("0"), disk.device()}, user, QStringLiteral("is 0"));
    expectRefused({size, QStringLiteral("-1"), disk.device()}, user, QStringLiteral("sectors"));
    expectRefused({size, QString::number(memory / 512 + 1), disk.device()}, user, QStringLiteral("machine's memory"));
    expectRefused({size, QString::number(perUser / 512 + 1), disk.device()}, user, QStringLiteral("one user may have"));
    expectRefused({size, QStringLiteral("131072"), QStringLiteral("quilmo-ram999999")}, user,
                  QStringLiteral("not a RAM disk of Quilmo"));
    expectRefused({size, QStringLiteral("131072"), QStringLiteral("-f")}, user, QStringLiteral("option"));
    expectRefused({QStringLiteral("131072"), disk.device()}, user, QStringLiteral("usage"));
    // Within it, the user's to take (the limits for all users together are the attach's,
    // which other runs on this machine move: asked for only a little here).
    EXPECT_EQ(resize(disk.device(), 131072 * 512, user).status, 0);
    EXPECT_EQ(resize(disk.device(), 65536 * 512, user).status, 0);

    // A loop device cannot change its size while it exists: it needs ejecting.
    LoopTool loop;
    RamDisk loopDisk(65536, user);
    ASSERT_TRUE(loopDisk.ok()) << loopDisk.error().toStdString();
    const QString withLoop = snapshot(user, dir.path());
    const Result r = resize(loopDisk.device(), 131072 * 512, user);
    EXPECT_TRUE(r.isRefusal()) << r.status << " " << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QStringLiteral("needs ejecting"))) << r.err.toStdString();
    EXPECT_EQ(snapshot(user, dir.path()), withLoop);
}

TEST(DiskToolResize, AResizeRacingADetachWaitsForItAndLeavesNoHalfState)
{
    QM_REQUIRE_LOOP_DEVICES();
    // A record of its own: a name given back here may be taken by another run on this
    // machine at once, which the resize must never reach.
    IsolatedTool isolated(Realisation::Memory);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        RamDisk disk(65536);
        ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
        const QString device = disk.device();
        const QString identity = identityOf(device);
        const QString hdiutil = QStringLiteral(QUILMO_DISKTOOL_ISOLATED_DIR "/hdiutil");
        QProcess resizing, detaching;
        resizing.start(hdiutil, {QStringLiteral("resize"), QStringLiteral("-size"), QStringLiteral("131072"), device});
        detaching.start(hdiutil, {QStringLiteral("detach"), device});
        ASSERT_TRUE(resizing.waitForFinished(60000));
        ASSERT_TRUE(detaching.waitForFinished(60000));
        // The detach always goes through; the resize either came first or found nothing.
        EXPECT_EQ(detaching.exitCode(), 0) << detaching.readAllStandardError().toStdString();
        if (resizing.exitCode() != 0) {
            EXPECT_TRUE(resizing.readAllStandardError().contains("not a RAM disk of Quilmo"));
        }
        // Gone, not left with a record or a mount (its name may already be another test's).
        EXPECT_NE(identityOf(device), identity);
    }
}
