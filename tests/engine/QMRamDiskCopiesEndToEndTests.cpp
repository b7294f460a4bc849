// Copies of real RAM disks under faults: a full backup disk, a RAM disk too small for its
// backup, a save killed half way and the device lost, a restore that cannot copy
// everything, a backup disk that is not plugged in, and what reaches the disk itself.

#include "QMRamDisk.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskDevice.h"
#include "QMRamDiskTestSupport.h"
#include "QMVolumeCapacity.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

#define QM_REQUIRE_SANDBOX(sandbox)                                                                   \
    QM_REQUIRE_LOOP_DEVICES();                                                                        \
    RamDiskSandbox sandbox;                                                                           \
    ASSERT_TRUE(sandbox.isValid())

bool isMounted(const QString &path)
{
    return QMRamDiskDevice::hasMountedVolumeAtPath(path) == QMMountStateMounted;
}

QByteArray fs(const QString &path)
{
    return QFile::encodeName(path);
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString describe(const QMError::Ptr &error)
{
    return error ? error->description() : QStringLiteral("(no error)");
}

QByteArray contentsFor(int i)
{
    QByteArray data = QByteArray::number(i) + ':';
    const int size = i % 25 == 0 ? 1024 * 1024 + i : 100 + i * 37;
    while (data.size() < size)
        data += char('a' + (data.size() * 7 + i) % 26);
    return data;
}

QMRamDisk::Ptr reloaded(const QMRamDisk::Ptr &r)
{
    QVariantMap coder;
    r->encodeWithCoder(&coder);
    return QMRamDisk::initWithCoder(coder);
}

constexpr const char *kSaverVolume = "QUILMO_TEST_SAVER_VOLUME";
constexpr const char *kSaverBackup = "QUILMO_TEST_SAVER_BACKUP";

} // namespace

// The child's part of the killed-save test: one backup, killed by the parent half way.
TEST(QMRamDiskCopiesChild, Saver)
{
    if (!qEnvironmentVariableIsSet(kSaverVolume))
        GTEST_SKIP() << "runs only as a child of the killed-save test";
    QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(qEnvironmentVariable(kSaverVolume),
                                                           qEnvironmentVariable(kSaverBackup), QStringLiteral("previous"),
                                                           nullptr, qEnvironmentVariableIsSet("QUILMO_TEST_SAVER_KEEPS_OLDER"));
}

TEST(QMRamDiskCopiesEndToEnd, ReservedAndRawNamesSurviveABaseAndABackup)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QList<QByteArray> names{"bin", "tmp", "etc", "var", "usr", "home", ".Trash", ".file", ".Trashes",
                                  ".fseventsd", "caf\xe9"};
    // Base-synchronised: the base's folders go onto the RAM disk and come back at ejection.
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    const QString base = sandbox.mkdir(QStringLiteral("home/Cache"));
    for (const QByteArray &name : names) {
        ASSERT_EQ(mkdir((fs(base) + '/' + name).constData(), 0755), 0);
        const int fd = open((fs(base) + '/' + name + "/kept").constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    ASSERT_FALSE(error) << describe(error).toStdString();
    ASSERT_TRUE(isMounted(base));
    for (const QByteArray &name : names) {
        struct stat st {};
        EXPECT_EQ(lstat((fs(base) + '/' + name + "/kept").constData(), &st), 0) << name.toStdString();
    }
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    ASSERT_FALSE(isMounted(base));
    for (const QByteArray &name : names) {
        struct stat st {};
        EXPECT_EQ(lstat((fs(base) + '/' + name + "/kept").constData(), &st), 0) << name.toStdString();
    }

    // A backup folder: the same names there and back.
    QMRamDisk::Ptr b = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Saved"));
    b->setBackupMode(2);
    b->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    ASSERT_TRUE(b->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    for (const QByteArray &name : names)
        ASSERT_EQ(mkdir((fs(b->path()) + '/' + name).constData(), 0755), 0);
    b->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(b->lastError()) << describe(b->lastError()).toStdString();
    ASSERT_TRUE(b->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    ASSERT_FALSE(error);
    for (const QByteArray &name : names) {
        struct stat st {};
        EXPECT_EQ(lstat((fs(b->path()) + '/' + name).constData(), &st), 0) << name.toStdString();
    }
    b->setBackupMode(0);
    b->performAction(QMRamDiskAction_eject, &delegate, false);
}

TEST(QMRamDiskCopiesEndToEnd, AFullBackupDiskStopsTheEjectWithTheOldBackupIntact)
{
    QM_REQUIRE_SANDBOX(sandbox);
    LoopFileSystem backupDisk(sandbox.path() + QStringLiteral("/backup.img"), sandbox.path() + QStringLiteral("/disk"),
                              24, {}, false);
    ASSERT_TRUE(backupDisk.isValid());
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Full"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.path() + QStringLiteral("/disk"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/notes.txt"), "first"));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_GT(r->lastSaveDate(), 0);

    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/notes.txt"), "second"));
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/big.bin"), QByteArray(40 * 1024 * 1024, 'b'))); // more than the disk holds
    const QString volume = r->path();
    delegate.clear();
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_EQ(r->lastError()->message(), QStringLiteral("Can not create backup"));
    EXPECT_TRUE(r->lastError()->depends().localizedDescription().contains(QStringLiteral("big.bin")));
    EXPECT_EQ(delegate.infos().count(12), 1); // only the final report: it never got to detach
    // Stopped before unmounting: everything is still there, and so is the old backup.
    EXPECT_TRUE(isMounted(volume));
    EXPECT_EQ(r->status(), QMRamDiskStatus_mounted);
    EXPECT_EQ(readFile(volume + QStringLiteral("/notes.txt")), QByteArray("second"));
    const QString backup = r->backupDirPath();
    EXPECT_EQ(readFile(backup + QStringLiteral("/notes.txt")), QByteArray("first"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".partial")));

    ASSERT_TRUE(QFile::remove(volume + QStringLiteral("/big.bin")));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_EQ(readFile(backup + QStringLiteral("/notes.txt")), QByteArray("second"));
}

// The room a backup needs is what its files take on the new RAM disk, against what that
// fresh volume really has free: one block more than it has is refused, and nothing stays
// attached; the largest file such a volume holds is created again, complete.
TEST(QMRamDiskCopiesEndToEnd, ARamDiskTooSmallForItsBackupIsRefusedAtTheExactEdge)
{
    QM_REQUIRE_SANDBOX(sandbox);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Edge"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    const QString backup = r->backupDirPath();
    QDir().mkpath(backup);
    // What a fresh volume restored with one item has free, and the largest file it holds.
    ASSERT_TRUE(writeFile(backup + QStringLiteral("/big.bin"), QByteArray()));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    struct statvfs sv {};
    ASSERT_EQ(statvfs(fs(r->path()).constData(), &sv), 0);
    const qint64 free = qint64(sv.f_bavail) * qint64(sv.f_frsize);
    {
        QFile big(r->path() + QStringLiteral("/big.bin"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (const qint64 chunk : {qint64(1) << 20, qint64(4096)})
            while (big.write(QByteArray(chunk, 'E')) == chunk) {
            }
    }
    const qint64 largest = QFileInfo(r->path() + QStringLiteral("/big.bin")).size();
    ASSERT_GT(largest, free - free / 50);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();

    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    EXPECT_FALSE(error) << describe(error).toStdString();
    EXPECT_FALSE(r->contentsIncomplete());
    EXPECT_EQ(QFileInfo(r->path() + QStringLiteral("/big.bin")).size(), largest);
    r->setBackupMode(0);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_EQ(r->status(), 0);
    r->setBackupMode(2);

    ASSERT_EQ(truncate(fs(backup + QStringLiteral("/big.bin")).constData(), 0), 0);
    {
        QFile big(backup + QStringLiteral("/big.bin"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        const QByteArray chunk(1 << 20, 'E');
        for (qint64 at = 0; at < free + 4096; at += chunk.size())
            ASSERT_GT(big.write(chunk.constData(), std::min<qint64>(chunk.size(), free + 4096 - at)), 0);
    }
    ToolWrappers tools({QStringLiteral("hdiutil")});
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message().startsWith(QStringLiteral("The RamDisk is too small for its backup")))
        << error->message().toStdString();
    EXPECT_EQ(r->status(), 0);
    EXPECT_EQ(tools.log().filter(QStringLiteral("attach")).size(), tools.log().filter(QStringLiteral("detach")).size())
        << "a device was left attached: " << tools.log().join(u'|').toStdString();
}

// A RAM disk filled to its last block and saved is created again at the same size, with
// everything in it.
TEST(QMRamDiskCopiesEndToEnd, ARamDiskSavedFullComesBackAtTheSameSize)
{
    QM_REQUIRE_SANDBOX(sandbox);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Full"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted);
    // Folders of small files, then large files, then small ones until not a block is left.
    for (int d = 0; d < 30; ++d) {
        const QString dir = r->path() + QStringLiteral("/dir%1").arg(d);
        ASSERT_TRUE(QDir().mkpath(dir));
        for (int f = 0; f < 20; ++f)
            ASSERT_TRUE(writeFile(dir + QStringLiteral("/f%1").arg(f), contentsFor(d * 20 + f + 1)));
    }
    const auto fill = [&](const QString &prefix, qsizetype size) {
        const QByteArray data(size, 'F');
        for (int i = 0;; ++i) {
            QFile file(r->path() + QStringLiteral("/%1%2").arg(prefix).arg(i));
            if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.flush()) {
                file.close();
                file.remove(); // what did not fit is not part of it
                return;
            }
        }
    };
    fill(QStringLiteral("large"), 8 * 1024 * 1024);
    fill(QStringLiteral("small"), 4096);
    struct statvfs sv {};
    ASSERT_EQ(statvfs(fs(r->path()).constData(), &sv), 0);
    ASSERT_LT(quint64(sv.f_bavail) * sv.f_frsize, 4096u * 2) << "the RAM disk is not full";
    const QStringList before = entriesOf(r->path());

    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    EXPECT_FALSE(error) << describe(error).toStdString();
    EXPECT_FALSE(r->contentsIncomplete());
    EXPECT_EQ(entriesOf(r->path()), before);
    EXPECT_EQ(readFile(r->path() + QStringLiteral("/dir29/f19")), contentsFor(29 * 20 + 19 + 1));
    r->setBackupMode(0);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
}

// A backup kept on a disk of small blocks allocates there a quarter of what its files take
// on a RAM disk (a kilobyte of data in every 4 KiB stretch of its files): the check counts
// the RAM disk's blocks, and refuses before the restore would run out of space.
TEST(QMRamDiskCopiesEndToEnd, TheRoomCheckCountsWhatFilesTakeOnTheRamDiskNotOnTheBackupDisk)
{
    QM_REQUIRE_SANDBOX(sandbox);
    LoopFileSystem disk(sandbox.path() + QStringLiteral("/small-blocks.img"), sandbox.path() + QStringLiteral("/disk"),
                        64, {QStringLiteral("-b"), QStringLiteral("1024")}, false);
    ASSERT_TRUE(disk.isValid());
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Blocks"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.path() + QStringLiteral("/disk"));
    const QString backup = r->backupDirPath();
    ASSERT_TRUE(QDir().mkpath(backup));
    const QByteArray kilobyte(1024, 'k');
    for (int f = 0; f < 5; ++f) {
        const int fd = open(fs(backup + QStringLiteral("/data%1.bin").arg(f)).constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        for (off_t at = 0; at < 30 * 1024 * 1024; at += 4096)
            ASSERT_EQ(pwrite(fd, kilobyte.constData(), size_t(kilobyte.size()), at), kilobyte.size());
        close(fd);
    }
    QMDirectoryUsage usage;
    ASSERT_TRUE(QMGetDirectoryUsage(fs(backup), &usage, nullptr));
    ASSERT_LT(usage.allocatedBytes, r->size() / 2) << "the backup's disk allocates as much as a RAM disk";

    RecordingDelegate delegate;
    QMError::Ptr error;
    EXPECT_FALSE(r->createWithDelegate(&delegate, &error));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->message().startsWith(QStringLiteral("The RamDisk is too small for its backup: 150")))
        << error->message().toStdString();
    EXPECT_EQ(r->status(), 0);
    EXPECT_FALSE(r->contentsIncomplete());
}

TEST(QMRamDiskCopiesEndToEnd, ASaveKilledHalfWayThenALostDeviceRestoresTheCompleteCopy)
{
    QM_REQUIRE_SANDBOX(sandbox);
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Killed"), 400000000);
    r->setBackupMode(2);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/v1-%1").arg(i), contentsFor(i)));
    delegate.clear();
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    const QString backup = r->backupDirPath();
    ASSERT_EQ(entriesOf(backup).size(), 50);

    // Much more to save this time; the saving process dies in the middle of it.
    for (int d = 0; d < 20; ++d) {
        const QString dir = r->path() + QStringLiteral("/v2-%1").arg(d);
        QDir().mkpath(dir);
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(writeFile(dir + QStringLiteral("/f%1").arg(i), contentsFor(i)));
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kSaverVolume), r->path());
    env.insert(QString::fromLatin1(kSaverBackup), backup);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=QMRamDiskCopiesChild.Saver")});
    ASSERT_TRUE(child.waitForStarted());
    const QString partial = backup + QStringLiteral(".partial");
    QElapsedTimer timer;
    timer.start();
    while (entriesOf(partial).size() < 3 && timer.elapsed() < 60000 && child.state() == QProcess::Running)
        QThread::usleep(500);
    ASSERT_EQ(child.state(), QProcess::Running) << "the save ended before it could be interrupted";
    kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished();
    ASSERT_TRUE(QFileInfo::exists(partial));

    // Then the machine goes down: the RAM disk is gone behind the engine's back.
    const QString volume = r->path(), deviceNode = r->deviceNode();
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), volume}), 0);
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), deviceNode}), 0);

    QMRamDisk::Ptr again = reloaded(r);
    sandbox.watch(again);
    ASSERT_TRUE(again->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    EXPECT_FALSE(error) << describe(error).toStdString();
    const QStringList restored = entriesOf(again->path());
    EXPECT_EQ(restored.size(), 50) << restored.join(u' ').toStdString();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(readFile(again->path() + QStringLiteral("/v1-%1").arg(i)), contentsFor(i));

    again->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(again->lastError()) << describe(again->lastError()).toStdString();
    EXPECT_EQ(entriesOf(backup).size(), 50);
    EXPECT_FALSE(QFileInfo::exists(partial));
}

// A base-synchronised RAM disk whose synchronisation stopped between its two renames:
// the complete copy is under the previous name, and the creation takes it.
TEST(QMRamDiskCopiesEndToEnd, AnInterruptedSwitchOfTheBaseTakesThePreviousCopy)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString mountDir = sandbox.mkdir(QStringLiteral("home"));
    sandbox.mkdir(QStringLiteral("home/Cache")); // the mount directory left behind
    const QString aside = mountDir + QStringLiteral("/Cache (Quilmo Backup Base)");
    sandbox.mkdir(QStringLiteral("home/Cache (Quilmo Backup Base).previous"));
    sandbox.mkdir(QStringLiteral("home/Cache (Quilmo Backup Base).partial"));
    ASSERT_TRUE(writeFile(aside + QStringLiteral(".previous/complete.txt"), "complete"));
    ASSERT_TRUE(writeFile(aside + QStringLiteral(".partial/half.txt"), "half"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(mountDir, QStringLiteral("Cache"));
    r->setBackupMode(3);
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error)) << describe(error).toStdString();
    EXPECT_EQ(entriesOf(r->path()), QStringList{QStringLiteral("complete.txt")});
    EXPECT_TRUE(r->lastWarning().contains(QStringLiteral("put back"))) << r->lastWarning().toStdString();
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError());
    EXPECT_EQ(entriesOf(mountDir), QStringList{QStringLiteral("Cache")});
    EXPECT_EQ(readFile(mountDir + QStringLiteral("/Cache/complete.txt")), QByteArray("complete"));
}

TEST(QMRamDiskCopiesEndToEnd, AnIncompleteRestoreIsNeverSavedOverTheCompleteCopy)
{
    QM_REQUIRE_SANDBOX(sandbox);
    // A loop device's ext4, which holds no attribute larger than its block (a memory
    // instance holds them all).
    LoopRealisation loop;
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Partial"));
    r->setBackupMode(2);
    // The backups on a tmpfs, which holds attributes larger than an ext4 block.
    const QString backups = sandbox.mkdir(QStringLiteral("backups"));
    ASSERT_EQ(mount("tmpfs", fs(backups).constData(), "tmpfs", 0, "size=64m"), 0) << strerror(errno);
    struct Unmount {
        QByteArray path;
        ~Unmount() { umount2(path.constData(), MNT_DETACH); }
    } unmount{fs(backups)};
    r->setBackupDir(backups);
    const QString backup = r->backupDirPath();
    QDir().mkpath(backup);
    ASSERT_TRUE(writeFile(backup + QStringLiteral("/fine.txt"), "fine"));
    // An attribute larger than a RAM disk's blocks can hold: that file cannot be restored
    // whole.
    ASSERT_TRUE(writeFile(backup + QStringLiteral("/tagged.txt"), "tagged"));
    const QByteArray big(8000, 'x');
    ASSERT_EQ(setxattr(fs(backup + QStringLiteral("/tagged.txt")).constData(), "user.quilmo.big", big.constData(),
                       size_t(big.size()), 0),
              0);

    RecordingDelegate delegate;
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_EQ(r->lastError()->message(), QStringLiteral("Unable to create RamDisk"));
    EXPECT_TRUE(r->lastError()->description().contains(QStringLiteral("tagged.txt")))
        << r->lastError()->description().toStdString();
    ASSERT_EQ(r->status(), QMRamDiskStatus_mounted); // there for the user to look at
    EXPECT_TRUE(r->contentsIncomplete());
    QMRamDisk::Ptr persisted = reloaded(r);
    EXPECT_TRUE(persisted->contentsIncomplete());

    // Neither the ejection nor a synchronisation saves it over the complete backup.
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/fine.txt"), "changed"));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->reason().endsWith(QStringLiteral("contentsIncomplete")));
    EXPECT_TRUE(isMounted(r->path()));
    EXPECT_EQ(readFile(backup + QStringLiteral("/fine.txt")), QByteArray("fine"));
    char value[8192];
    EXPECT_EQ(getxattr(fs(backup + QStringLiteral("/tagged.txt")).constData(), "user.quilmo.big", value, sizeof value),
              8000);

    // An explicit backup asks first: unconfirmed it is refused, confirmed it replaces the
    // copy and lifts the mark.
    delegate.clear();
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->message().contains(QStringLiteral("with an incomplete one")))
        << describe(r->lastError()).toStdString();
    EXPECT_EQ(readFile(backup + QStringLiteral("/fine.txt")), QByteArray("fine"));
    delegate.clear();
    r->setReplacesIncompleteCopy(true);
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_FALSE(r->contentsIncomplete());
    EXPECT_EQ(readFile(backup + QStringLiteral("/fine.txt")), QByteArray("changed"));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    EXPECT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
}

TEST(QMRamDiskCopiesEndToEnd, AMissingBackupFolderIsRefusedOnceABackupWasMade)
{
    QM_REQUIRE_SANDBOX(sandbox);
    const QString disk = sandbox.mkdir(QStringLiteral("usb"));
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Usb"));
    r->setBackupMode(2);
    r->setBackupDir(disk + QStringLiteral("/backups"));
    RecordingDelegate delegate;

    // Never saved, folder not there: the RAM disk starts empty and says so.
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_TRUE(r->lastWarning().contains(QStringLiteral("does not exist"))) << r->lastWarning().toStdString();
    ASSERT_TRUE(writeFile(r->path() + QStringLiteral("/work.txt"), "work"));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_TRUE(r->lastWarning().isEmpty());
    const double saved = r->lastSaveDate();
    EXPECT_GT(saved, 0);
    QMRamDisk::Ptr persisted = reloaded(r);
    EXPECT_DOUBLE_EQ(persisted->lastSaveDate(), saved);

    // The disk is unplugged: no RAM disk that comes up empty and is saved over it later.
    ASSERT_TRUE(QDir().rename(disk, disk + QStringLiteral("-elsewhere")));
    ToolWrappers tools({QStringLiteral("hdiutil")});
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_TRUE(r->lastError());
    EXPECT_TRUE(r->lastError()->message().startsWith(QStringLiteral("The backup of the RamDisk is missing")));
    EXPECT_TRUE(tools.log().isEmpty());
    EXPECT_EQ(r->status(), 0);

    // Plugged in again: back as it was.
    ASSERT_TRUE(QDir().rename(disk + QStringLiteral("-elsewhere"), disk));
    r->performAction(QMRamDiskAction_create, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();
    EXPECT_EQ(readFile(r->path() + QStringLiteral("/work.txt")), QByteArray("work"));
    r->setBackupMode(0);
    r->performAction(QMRamDiskAction_eject, &delegate, false);
}

// Right after the ejection returns, the backup is on the disk itself: read back from the
// image file under a loop device with direct I/O, past every cache of the mounted file
// system. (No journal on that file system, so that what is written is where debugfs reads.)
TEST(QMRamDiskCopiesEndToEnd, TheBackupIsOnTheDiskWhenTheEjectionReturns)
{
    QM_REQUIRE_SANDBOX(sandbox);
    if (QMTest::run(QStringLiteral("debugfs"), {QStringLiteral("-V")}) < 0)
        GTEST_SKIP() << "debugfs is needed (package e2fsprogs)";
    const QString image = sandbox.path() + QStringLiteral("/durable.img");
    LoopFileSystem backupDisk(image, sandbox.path() + QStringLiteral("/durable"), 96,
                              {QStringLiteral("-O"), QStringLiteral("^has_journal")}, true);
    ASSERT_TRUE(backupDisk.isValid());
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Durable"));
    r->setBackupMode(2);
    r->setBackupDir(sandbox.path() + QStringLiteral("/durable"));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    QDir().mkpath(r->path() + QStringLiteral("/sub"));
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeFile(r->path() + (i % 2 ? QStringLiteral("/sub/f%1") : QStringLiteral("/f%1")).arg(i),
                              contentsFor(i)));
    r->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(r->lastError()) << describe(r->lastError()).toStdString();

    const QString inImage = QLatin1Char('/') + QFileInfo(r->backupDirPath()).fileName();
    for (int i = 0; i < 40; ++i) {
        const QString path = inImage + (i % 2 ? QStringLiteral("/sub/f%1") : QStringLiteral("/f%1")).arg(i);
        EXPECT_EQ(backupDisk.catFromImage(path), contentsFor(i)) << path.toStdString();
    }
}
