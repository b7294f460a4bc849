// Memory instances: a tmpfs of its own per RAM disk, in a root-only place, shown by bind
// mounts; the files stay while it is not shown, and releasing it gives its memory back.

#include "DiskToolTestSupport.h"
#include "QMFormatRules.h"
#include "QMTemporaryDir.h"
#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace DiskToolTest;

namespace {

const quint64 kPage = quint64(sysconf(_SC_PAGESIZE));

QByteArray bytes(const QString &path)
{
    return QFile::encodeName(path);
}

// The super options of the instance's own mount ("rw,size=65536k,...").
QString superOptionsOf(const QString &device)
{
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char(' '));
        const qsizetype dash = fields.indexOf(QStringLiteral("-"));
        if (dash > 0 && dash + 3 < fields.size() && fields[dash + 2] == device && fields[4] == instancePlaceOf(device))
            return fields[dash + 3];
    }
    return {};
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

QByteArray readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return lstat(bytes(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Bytes the instance's files take, as the instance itself counts them.
quint64 usedBytes(const QString &path)
{
    struct statvfs sv {};
    statvfs(bytes(path).constData(), &sv);
    return quint64(sv.f_blocks - sv.f_bfree) * sv.f_frsize;
}

// A directory of the user's for the bind.
QString ownedDirectory(const QMTemporaryDir &dir, const QString &name, uid_t user)
{
    const QString path = dir.path() + QLatin1Char('/') + name;
    if (!QDir().mkdir(path) || chown(bytes(path).constData(), user, user) != 0)
        return {};
    return path;
}

bool kernelHasTmpfsCasefold()
{
    return QFileInfo::exists(QStringLiteral("/sys/fs/tmpfs/features/casefold"));
}

} // namespace

TEST(DiskToolInstance, AttachFormatShowHideAndReleaseAnInstance)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Result attach = runTool(QStringLiteral("hdiutil"), attachArgs(131072), user);
    ASSERT_EQ(attach.status, 0) << attach.err.toStdString();
    const QString device = deviceFromAttachOutput(attach.out);
    ASSERT_TRUE(device.startsWith(QStringLiteral("quilmo-ram"))) << attach.out.toStdString();
    const QString identity = identityOf(device);
    struct Release {
        QString device, identity;
        ~Release() { releaseDevice(device, identity); }
    } release{device, identity};

    // Its own mount: in the root-only place, of the size asked, the user's, nothing shown.
    const QString place = instancePlaceOf(device);
    EXPECT_EQ(place, QStringLiteral("/run/quilmo/ram/") + device);
    EXPECT_EQ(modeOf(QStringLiteral("/run/quilmo")), 0700u);
    EXPECT_EQ(modeOf(QStringLiteral("/run/quilmo/ram")), 0700u);
    const QStringList options = superOptionsOf(device).split(QLatin1Char(','));
    EXPECT_TRUE(options.contains(QStringLiteral("size=65536k"))) << options.join(',').toStdString();
    EXPECT_TRUE(options.contains(QStringLiteral("mode=700")) && options.contains(QStringLiteral("uid=%1").arg(user)))
        << options.join(',').toStdString();
    EXPECT_TRUE(options.contains(QStringLiteral("nr_inodes=%1")
                                     .arg(QMFormatRules::memoryInstanceInodes(65536ULL * 1024, kPage))));
    EXPECT_FALSE(options.contains(QStringLiteral("noswap")));
    EXPECT_TRUE(mountOptionsAt(place).contains(QStringLiteral("nosuid,nodev")));
    EXPECT_TRUE(mountPointsOf(device).isEmpty());
    if (QFileInfo(QStringLiteral("/usr/bin/setpriv")).isExecutable()) {
        EXPECT_NE(runAsUser(user, QStringLiteral("/usr/bin/ls"), {place}).status, 0) << "users never reach the place";
    }
    auto entry = infoFor(device, user);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->imagePath, QStringLiteral("ram://131072"));
    EXPECT_TRUE(entry->mountPoint.isEmpty());

    // A fresh volume with the whole name, whatever its length.
    const QString name = QStringLiteral("Round Trip ÄÖÜäöüÄÖÜ");
    const Result newfs = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), name, device}, user);
    ASSERT_EQ(newfs.status, 0) << newfs.err.toStdString();
    // A fresh instance in the old one's place.
    EXPECT_NE(identityOf(device), identity);
    release.identity = identityOf(device);
    EXPECT_EQ(newfs.out, QStringLiteral("Initialized %1 as a 64 MB %2 memory volume\n")
                             .arg(device, kernelHasTmpfsCasefold() ? QStringLiteral("case-insensitive")
                                                                   : QStringLiteral("case-sensitive")));
    EXPECT_EQ(infoFor(device, user)->volumeName, name);

    // Shown where the user asked: their own, empty, private, and without set-user-id
    // programs, device files or access times.
    const QString target = ownedDirectory(dir, QStringLiteral("target"), user);
    MountGuard guard(target);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(device, target), user).status, 0);
    EXPECT_EQ(mountPointsOf(device), QStringList{target});
    EXPECT_EQ(mountOptionsAt(target), QStringLiteral("rw,nosuid,nodev,noatime"));
    struct stat st {};
    ASSERT_EQ(stat(bytes(target).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty());
    EXPECT_EQ(infoFor(device, user)->mountPoint, target);

    // The volume tag and the user's files.
    ASSERT_EQ(lsetxattr(bytes(target).constData(), "user.org.quilmo.ramdisk-info", "tag", 3, 0), 0) << strerror(errno);
    ASSERT_TRUE(writeText(target + QStringLiteral("/kept.txt"), "kept while not shown"));

    // Released only when no longer shown.
    EXPECT_TRUE(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, user).isRefusal());
    EXPECT_EQ(identityOf(device), release.identity);

    // Hidden: the bind goes, the instance and its files stay.
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, user).status, 0);
    EXPECT_FALSE(isMountPoint(target));
    EXPECT_EQ(identityOf(device), release.identity);
    EXPECT_TRUE(infoFor(device, user)->mountPoint.isEmpty());
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(device, target), user).status, 0);
    EXPECT_EQ(readText(target + QStringLiteral("/kept.txt")), QByteArray("kept while not shown"));
    char tag[8] = {};
    EXPECT_EQ(lgetxattr(bytes(target).constData(), "user.org.quilmo.ramdisk-info", tag, sizeof tag), 3);
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, user).status, 0);

    // Released: the instance, its place and its record are gone.
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), device}, user);
    ASSERT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_TRUE(detach.out.isEmpty());
    EXPECT_TRUE(identityOf(device).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(place));
    EXPECT_FALSE(infoFor(device, user).has_value());
}

TEST(DiskToolInstance, AFormatMakesAFreshEmptyVolumeAndWaitsUntilItIsNotShown)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid();
    QMTemporaryDir dir;
    RamDisk disk(65536, user, true, QStringLiteral("First"));
    ASSERT_TRUE(disk.ok()) << disk.error().toStdString();
    const QString target = ownedDirectory(dir, QStringLiteral("target"), user);
    MountGuard guard(target);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), target), user).status, 0);
    ASSERT_TRUE(writeText(target + QStringLiteral("/old.txt"), "old"));
    const QString first = uuidOf(disk.device());

    const Result shown = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Second"), disk.device()}, user);
    EXPECT_TRUE(shown.isRefusal()) << shown.err.toStdString();
    EXPECT_EQ(readText(target + QStringLiteral("/old.txt")), QByteArray("old"));
    EXPECT_EQ(labelOf(disk.device()), QStringLiteral("First"));

    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, user).status, 0);
    const Result newfs = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-s"), QStringLiteral("-v"),
                                                               QStringLiteral("Second"), disk.device()}, user);
    ASSERT_EQ(newfs.status, 0) << newfs.err.toStdString();
    // Another instance under the same name: the old one, with its memory, is gone.
    EXPECT_NE(uuidOf(disk.device()), first);
    EXPECT_EQ(labelOf(disk.device()), QStringLiteral("Second"));
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(disk.device(), target), user).status, 0);
    EXPECT_TRUE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System).isEmpty());
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}, user).status, 0);
}

TEST(DiskToolInstance, WiredMemoryIsKeptOutOfSwapThroughEveryStep)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Result attach = runTool(QStringLiteral("hdiutil"), attachArgs(8192, true));
    ASSERT_EQ(attach.status, 0) << attach.err.toStdString();
    const QString device = deviceFromAttachOutput(attach.out);
    const QString identity = identityOf(device);
    struct Release {
        QString device, identity;
        ~Release() { releaseDevice(device, identity); }
    } release{device, identity};
    EXPECT_TRUE(superOptionsOf(device).split(QLatin1Char(',')).contains(QStringLiteral("noswap")));
    // A format makes a new instance: it keeps what attach asked for.
    ASSERT_EQ(runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Wired"), device}).status, 0);
    release.identity = identityOf(device);
    EXPECT_TRUE(superOptionsOf(device).split(QLatin1Char(',')).contains(QStringLiteral("noswap")));
    const QString target = dir.path() + QStringLiteral("/wired");
    ASSERT_TRUE(QDir().mkdir(target));
    MountGuard guard(target);
    ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(device, target)).status, 0);
    // What the mount table shows of the bind, the RAM disk the user sees.
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    bool seen = false;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.contains(" " + bytes(target) + " ")) {
            seen = true;
            EXPECT_TRUE(line.endsWith(",noswap") || line.contains(",noswap,")) << line.constData();
        }
    }
    EXPECT_TRUE(seen);
}

TEST(DiskToolInstance, AllOfTheSizeIsUsableAndWritingPastItLosesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    // The record's sizes of 256 MB and 4 GB: nothing of them goes to the file system itself.
    for (const quint64 size : {256000000ULL, 4000000000ULL}) {
        SCOPED_TRACE(size);
        MountedRamDisk r(size);
        ASSERT_TRUE(r.mounted) << r.error.toStdString();
        const struct statvfs sv = r.stat();
        EXPECT_GE(quint64(sv.f_bavail) * sv.f_frsize, size);
        EXPECT_LT(quint64(sv.f_bavail) * sv.f_frsize, size + kPage);
        EXPECT_EQ(quint64(sv.f_files),
                  QMFormatRules::memoryInstanceInodes(QMFormatRules::memoryInstanceBytes(size / 512, kPage), kPage));
        if (size > 1000000000ULL)
            continue;
        // Filled to the last page: the write that does not fit fails with ENOSPC, and every
        // byte written before it is there.
        const QString path = r.dir.path() + QStringLiteral("/fill");
        const int fd = open(bytes(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char(i * 13 + 5);
        quint64 written = 0;
        int error = 0;
        for (;;) {
            const ssize_t n = write(fd, chunk.constData(), size_t(chunk.size()));
            if (n < 0) {
                error = errno;
                break;
            }
            written += quint64(n);
        }
        close(fd);
        EXPECT_EQ(error, ENOSPC);
        EXPECT_GE(written, size * 999 / 1000);
        QFile back(path);
        ASSERT_TRUE(back.open(QIODevice::ReadOnly));
        quint64 read = 0;
        while (!back.atEnd()) {
            const QByteArray piece = back.read(chunk.size());
            ASSERT_EQ(piece, chunk.left(piece.size())) << "at " << read;
            read += quint64(piece.size());
        }
        EXPECT_EQ(read, written);
    }
}

TEST(DiskToolInstance, FilesOfOneKibibyteRunOutOfSpaceBeforeInodes)
{
    QM_REQUIRE_LOOP_DEVICES();
    MountedRamDisk r(4ULL << 20);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    // With a directory for every eight files, as a tree of small files has. What fails
    // first: making a directory or a file (no inode left), or writing (no space left).
    const QByteArray kibibyte(1024, 'k');
    enum Step { None, MakeDirectory, MakeFile, Write } failed = None;
    int error = 0;
    for (int i = 0; failed == None; ++i) {
        const QString directory = r.dir.path() + QStringLiteral("/d%1").arg(i / 8);
        if (i % 8 == 0 && mkdir(bytes(directory).constData(), 0700) != 0) {
            failed = MakeDirectory;
            error = errno;
            break;
        }
        const int fd = open(bytes(directory + QStringLiteral("/f%1").arg(i)).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            failed = MakeFile;
            error = errno;
            break;
        }
        if (write(fd, kibibyte.constData(), size_t(kibibyte.size())) != kibibyte.size()) {
            failed = Write;
            error = errno;
        }
        close(fd);
    }
    EXPECT_EQ(failed, Write) << "inodes ran out first";
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(r.stat().f_bfree, 0u);
}

namespace {

constexpr quint64 kWritten = 200ULL * 1024 * 1024;

// Files of kWritten bytes in all on the volume, under names beginning with `prefix`.
bool fill(const QString &volume, const QString &prefix)
{
    QByteArray chunk(4 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 31 + 7);
    for (int i = 0; i < int(kWritten / chunk.size()); ++i) {
        QFile f(volume + QStringLiteral("/%1%2").arg(prefix).arg(i));
        if (!f.open(QIODevice::WriteOnly) || f.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

} // namespace

// Measured on the instance itself, so that other programs using memory do not disturb it.
TEST(DiskToolInstance, DeletedFilesGiveTheirMemoryBackAtOnce)
{
    QM_REQUIRE_LOOP_DEVICES();
    MountedRamDisk r(400000000ULL);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    // Only a memory instance's own figures are its memory (ext4's free blocks are not).
    ASSERT_EQ(realisationOf(r.disk.device()), Realisation::Memory);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(fill(r.dir.path(), QStringLiteral("file")));
        EXPECT_GE(usedBytes(r.dir.path()), kWritten);
        for (const QString &name : QDir(r.dir.path()).entryList(QDir::Files))
            ASSERT_TRUE(QFile::remove(r.dir.path() + QLatin1Char('/') + name));
        // No trim, no wait: the pages went with the files.
        EXPECT_LT(usedBytes(r.dir.path()), kWritten / 100) << round;
    }
}

// What a volume's files held comes back when its RAM disk is released: measured where it
// shows, in the machine's shared memory, which others move as well; waiting for the fall
// only guards against them.
class DiskToolReleaseMemory : public ::testing::TestWithParam<Realisation> {};

TEST_P(DiskToolReleaseMemory, ReleasingARamDiskGivesItsMemoryBackAtOnce)
{
    QM_REQUIRE_LOOP_DEVICES();
    RealisationTool tool(GetParam());
    MountedRamDisk r(400000000ULL);
    ASSERT_TRUE(r.mounted) << r.error.toStdString();
    ASSERT_TRUE(fill(r.dir.path(), QStringLiteral("kept")));
    {
        // A loop device's files are in its memory file once written back.
        const int fd = open(bytes(r.dir.path()).constData(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        syncfs(fd);
        close(fd);
    }
    const quint64 held = usedBytes(r.dir.path());
    ASSERT_GE(held, kWritten);
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), r.dir.path()}).status, 0);
    const quint64 before = shmemBytes();
    const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), r.disk.device()});
    ASSERT_EQ(detach.status, 0) << detach.err.toStdString();
    EXPECT_TRUE(QMTest::waitUntil([&] { return shmemBytes() + held * 99 / 100 <= before; }, 30000))
        << "Shmem before " << before << ", now " << shmemBytes() << ", the files held " << held;
}

INSTANTIATE_TEST_SUITE_P(Realisation, DiskToolReleaseMemory, ::testing::Values(Realisation::Memory, Realisation::Loop),
                         [](const auto &info) { return std::string(realisationName(info.param)); });

TEST(DiskToolInstance, TheRealisationChosenAtAttachIsFollowedByEveryLaterCall)
{
    QM_REQUIRE_LOOP_DEVICES();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.path() + QStringLiteral("/target");
    ASSERT_TRUE(QDir().mkdir(target));
    MountGuard guard(target);
    // Attached by one build, worked on by the other: the record decides, not the kernel.
    for (const Realisation attachedAs : {Realisation::Loop, Realisation::Memory}) {
        SCOPED_TRACE(realisationName(attachedAs));
        std::unique_ptr<RamDisk> disk;
        {
            RealisationTool tool(attachedAs);
            disk = std::make_unique<RamDisk>(65536, std::nullopt, false);
        }
        ASSERT_TRUE(disk->ok()) << disk->error().toStdString();
        ASSERT_EQ(realisationOf(disk->device()), attachedAs);
        RealisationTool other(attachedAs == Realisation::Loop ? Realisation::Memory : Realisation::Loop);
        const Result newfs = runTool(QStringLiteral("newfs_hfs"), {QStringLiteral("-v"), QStringLiteral("Followed"), disk->device()});
        ASSERT_EQ(newfs.status, 0) << newfs.err.toStdString();
        EXPECT_TRUE(newfs.out.endsWith(attachedAs == Realisation::Loop ? QStringLiteral(" ext4 volume\n")
                                                                        : QStringLiteral(" memory volume\n")))
            << newfs.out.toStdString();
        ASSERT_EQ(runTool(QStringLiteral("mount"), plainMountArgs(disk->device(), target)).status, 0);
        EXPECT_EQ(mountPointsOf(disk->device()), QStringList{target});
        ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), target}).status, 0);
        const Result detach = runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), disk->device()});
        EXPECT_EQ(detach.status, 0) << detach.err.toStdString();
        EXPECT_FALSE(disk->attached());
    }
}

TEST(DiskToolInstance, WhatOnlyLooksLikeAnInstanceIsNeverTouched)
{
    QM_REQUIRE_LOOP_DEVICES();
    const uid_t user = testUid();
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A tmpfs of the user's that carries an instance's name, mounted outside the place.
    const QString forgedName = QStringLiteral("quilmo-ram%1").arg(900000 + getpid() % 99999);
    const QString forged = ownedDirectory(dir, QStringLiteral("forged"), user);
    const QByteArray options = QStringLiteral("size=1m,uid=%1,gid=%1").arg(user).toLatin1();
    ASSERT_EQ(mount(bytes(forgedName).constData(), bytes(forged).constData(), "tmpfs", 0, options.constData()), 0);
    MountGuard forgedGuard(forged);
    ASSERT_TRUE(writeText(forged + QStringLiteral("/mine"), "mine"));
    const QString target = ownedDirectory(dir, QStringLiteral("target"), user);
    MountGuard guard(target);
    RamDisk own(2048, user);
    ASSERT_TRUE(own.ok()) << own.error().toStdString();

    for (const std::optional<uid_t> &as : {std::optional<uid_t>(user), std::optional<uid_t>()}) {
        for (const QString &name : {forgedName, QStringLiteral("quilmo-ram"), QStringLiteral("quilmo-ram01"),
                                    QStringLiteral("quilmo-ram-1"), QStringLiteral("quilmo-ram1/../x"),
                                    own.device() + QLatin1Char(' ')}) {
            const QString before = snapshot(user, dir.path());
            for (const QStringList &args : {QStringList{QStringLiteral("newfs_hfs"), QStringLiteral("-v"), QStringLiteral("X"), name},
                                            QStringList{QStringLiteral("mount")} + plainMountArgs(name, target),
                                            QStringList{QStringLiteral("hdiutil"), QStringLiteral("detach"), name}}) {
                const Result r = runTool(args.first(), args.mid(1), as);
                EXPECT_TRUE(r.isRefusal()) << args.join(' ').toStdString() << ": " << r.err.toStdString();
            }
            EXPECT_EQ(snapshot(user, dir.path()), before) << name.toStdString();
        }
        // Nor is it unmounted as one of ours, and the instance's own mount is no bind of it.
        EXPECT_TRUE(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), forged}, as).isRefusal());
        EXPECT_TRUE(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), instancePlaceOf(own.device())}, as).isRefusal());
        EXPECT_TRUE(runTool(QStringLiteral("mount"), plainMountArgs(own.device(), QStringLiteral("/run/quilmo/ram")), as).isRefusal());
    }
    EXPECT_EQ(readText(forged + QStringLiteral("/mine")), QByteArray("mine"));
    EXPECT_TRUE(isMountPoint(forged));
    EXPECT_TRUE(own.attached());
}

TEST(DiskToolInstance, AFailureOrAKillInsideAttachLeavesNothing)
{
    QM_REQUIRE_LOOP_DEVICES();
    if (!QFileInfo(QStringLiteral("/usr/bin/prlimit")).isExecutable())
        GTEST_SKIP() << "needs prlimit";
    const uid_t user = testUid(2);
    QMTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString hdiutil = QMTest::libexecDir() + QStringLiteral("/hdiutil");
    // Every step that opens something fails in turn as descriptors run short (from some
    // limit on, attach succeeds); a file-size limit fails the writing of the record
    // (ignored signal) or kills the tool outright there (default signal).
    QStringList scripts;
    for (int limit = 3; limit <= 16; ++limit)
        scripts << QStringLiteral("exec /usr/bin/prlimit --nofile=%1 \"$0\" \"$@\"").arg(limit);
    scripts << QStringLiteral("trap '' XFSZ; exec /usr/bin/prlimit --fsize=1 \"$0\" \"$@\"")
            << QStringLiteral("exec /usr/bin/prlimit --fsize=1 \"$0\" \"$@\"");
    bool succeeded = false;
    for (const QString &script : scripts) {
        const QString before = snapshot(user, dir.path());
        const Result r = runToolBehind(script, hdiutil, attachArgs(2048), user);
        const QString device = deviceFromAttachOutput(r.out);
        if (r.status == 0 && !device.isEmpty()) {
            succeeded = true;
            EXPECT_TRUE(infoFor(device, user).has_value()) << "recorded";
            releaseDevice(device, identityOf(device));
            continue;
        }
        EXPECT_EQ(snapshot(user, dir.path()), before) << script.toStdString() << ": " << r.err.toStdString();
        EXPECT_FALSE(infoFor(QStringLiteral("quilmo-ram0"), user).has_value()) << script.toStdString();
    }
    EXPECT_TRUE(succeeded);
}
