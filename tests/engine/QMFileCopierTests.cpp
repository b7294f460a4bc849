// Copies keep what makes a tree the same tree: raw names, hard links, holes, attributes of
// every kind of item, and every top-level name but the file system's own.

#include "QMFileCopier.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

QByteArray fs(const QString &path)
{
    return QFile::encodeName(path);
}

const char *c(const QByteArray &path)
{
    return path.constData();
}

struct stat statOf(const QByteArray &path)
{
    struct stat st {};
    lstat(path.constData(), &st);
    return st;
}

QByteArray xattrOf(const QByteArray &path, const char *name)
{
    char value[256];
    const ssize_t n = lgetxattr(path.constData(), name, value, sizeof value);
    return n < 0 ? QByteArray("<none>") : QByteArray(value, n);
}

// A sparse file: a hole, 8 KiB of data in the middle, and a hole up to 16 MiB.
void makeSparse(const QByteArray &path)
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const QByteArray data(8192, 'S');
    ASSERT_EQ(pwrite(fd, data.constData(), size_t(data.size()), 4 * 1024 * 1024), data.size());
    ASSERT_EQ(ftruncate(fd, 16 * 1024 * 1024), 0);
    close(fd);
}

} // namespace

// Every name the other platform's tables hide, the Unix directories among them, is a
// user's folder on Linux; so is a name that is not UTF-8, and a lost+found holding data.
TEST(QMRamDiskCopies, EveryTopLevelNameButAnEmptyLostAndFoundGoesBothWays)
{
    QMTemporaryDir volume, disk, fresh;
    const QList<QByteArray> names{
        // volume-root names
        ".vol", ".file", ".Trashes", ".fseventsd", ".Spotlight-V100", ".hotfiles.btree", ".DocumentRevisions-V100",
        ".HFS+ Private Directory Data\r", ".PKInstallSandboxManager-SystemSoftware",
        // system names
        "dev", "net", "home", "cores", "mach_kernel", "mach.sym", "mach", "Network", "Volumes",
        // Unix directories
        "etc", "var", "tmp", "bin", "sbin", "usr", "private",
        // folder bookkeeping names
        ".Trash", ".localized", ".DS_Store", "Icon\r", "File Transfer Folder\x03\r",
        // not UTF-8
        "caf\xe9", "\xff\xfe raw",
    };
    const QByteArray root = fs(volume.path());
    for (const QByteArray &name : names) {
        const QByteArray dir = root + '/' + name;
        ASSERT_EQ(mkdir(c(dir), 0755), 0) << name.toStdString();
        ASSERT_TRUE(writeBytes(dir + "/inside \xe9.txt", name));
    }
    ASSERT_EQ(mkdir(c(root + "/lost+found"), 0700), 0);

    const QString backup = disk.path() + QStringLiteral("/ID.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    ASSERT_FALSE(b->restoreRamDiskAtPath(fresh.path(), backup));
    for (const QByteArray &name : names) {
        EXPECT_EQ(readBytes(fs(backup) + '/' + name + "/inside \xe9.txt"), name) << name.toStdString();
        EXPECT_EQ(readBytes(fs(fresh.path()) + '/' + name + "/inside \xe9.txt"), name) << name.toStdString();
    }
    // The file system's own empty lost+found is not the user's.
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral("/lost+found")));

    // One with something in it is.
    ASSERT_TRUE(writeBytes(root + "/lost+found/#1234", "recovered"));
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    EXPECT_EQ(readBytes(fs(backup) + "/lost+found/#1234"), QByteArray("recovered"));
}

TEST(QMRamDiskCopies, HardLinksHolesAndAttributesOfEveryItemSurviveARoundTrip)
{
    QMTemporaryDir volume, disk, fresh;
    const QByteArray v = fs(volume.path());
    ASSERT_EQ(mkdir(c(v + "/dir"), 0750), 0);
    ASSERT_EQ(mkdir(c(v + "/dir/sub"), 0700), 0);
    ASSERT_TRUE(writeBytes(v + "/linked", "one file, two names"));
    ASSERT_EQ(link(c(v + "/linked"), c(v + "/dir/sub/other name")), 0);
    makeSparse(v + "/sparse.img");
    ASSERT_EQ(symlink("dir/sub", c(v + "/link")), 0);
    ASSERT_EQ(setxattr(c(v + "/dir"), "user.quilmo.dir", "D", 1, 0), 0);
    ASSERT_EQ(setxattr(c(v + "/linked"), "user.quilmo.file", "F", 1, 0), 0);
    // Only the trusted and security namespaces exist for symbolic links (root only).
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(lsetxattr(c(v + "/link"), "trusted.quilmo.link", "L", 1, 0), 0);
    }

    const QString backup = disk.path() + QStringLiteral("/ID.QuilmoBackup");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    ASSERT_FALSE(b->restoreRamDiskAtPath(fresh.path(), backup));

    for (const QByteArray &top : {fs(backup), fs(fresh.path())}) {
        SCOPED_TRACE(top.toStdString());
        const struct stat a = statOf(top + "/linked"), c = statOf(top + "/dir/sub/other name");
        EXPECT_EQ(a.st_ino, c.st_ino); // still one file
        EXPECT_EQ(a.st_nlink, 2u);
        EXPECT_EQ(readBytes(top + "/dir/sub/other name"), QByteArray("one file, two names"));

        const struct stat sparse = statOf(top + "/sparse.img");
        EXPECT_EQ(sparse.st_size, 16 * 1024 * 1024);
        EXPECT_LE(sparse.st_blocks * 512, 64 * 1024); // the holes stayed holes
        const QByteArray data = readBytes(top + "/sparse.img");
        EXPECT_EQ(data.mid(4 * 1024 * 1024, 8192), QByteArray(8192, 'S'));
        EXPECT_EQ(data.count('\0'), 16 * 1024 * 1024 - 8192);

        EXPECT_EQ(xattrOf(top + "/dir", "user.quilmo.dir"), QByteArray("D"));
        EXPECT_EQ(xattrOf(top + "/linked", "user.quilmo.file"), QByteArray("F"));
        if (root) {
            EXPECT_EQ(xattrOf(top + "/link", "trusted.quilmo.link"), QByteArray("L"));
        }
        EXPECT_EQ(statOf(top + "/dir").st_mode & 07777, 0750u);
        EXPECT_EQ(statOf(top + "/dir/sub").st_mode & 07777, 0700u);
    }
}

// A copy is switched in only complete: whatever was being written when the program died
// is never restored, and the complete copy is found under either name of the switch.
TEST(QMRamDiskCopies, AnInterruptedCopyIsNeverTheRestoreSource)
{
    QMTemporaryDir disk;
    const QString backup = disk.path() + QStringLiteral("/ID.QuilmoBackup");
    const QString previous = backup + QStringLiteral(".previous"), partial = backup + QStringLiteral(".partial");
    QMRamDiskBackup *b = QMRamDiskBackup::sharedInstance();
    auto restored = [&]() -> QByteArray {
        QMTemporaryDir fresh;
        if (b->restoreRamDiskAtPath(fresh.path(), backup))
            return "<error>";
        return readFile(fresh.path() + QStringLiteral("/which"));
    };

    // Killed while copying, before the first one ever completed: nothing to restore.
    QDir().mkpath(partial);
    writeFile(partial + QStringLiteral("/which"), "partial");
    EXPECT_EQ(restored(), QByteArray());
    EXPECT_TRUE(QMRamDiskBackup::restoreSourceOf(backup, QStringLiteral("previous")).isNull());

    // Killed between the two renames: the previous one is the complete one.
    QDir().mkpath(previous);
    writeFile(previous + QStringLiteral("/which"), "previous");
    EXPECT_EQ(restored(), QByteArray("previous"));

    // Killed before the previous one was removed: the current one is newer.
    QDir().mkpath(backup);
    writeFile(backup + QStringLiteral("/which"), "current");
    EXPECT_EQ(restored(), QByteArray("current"));

    // The next backup clears what the interrupted one left and ends with one copy.
    QMTemporaryDir volume;
    writeFile(volume.path() + QStringLiteral("/which"), "new");
    ASSERT_FALSE(b->backupRamDiskAtPath(volume.path(), backup, QStringLiteral("previous")));
    EXPECT_EQ(readFile(backup + QStringLiteral("/which")), QByteArray("new"));
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_FALSE(QFileInfo::exists(previous));
}

TEST(QMRamDiskCopies, FailuresNameTheirItemsEvenWhenNotUtf8)
{
    QMTemporaryDir dir;
    const QByteArray d = fs(dir.path());
    ASSERT_TRUE(writeBytes(d + "/a", "A"));
    ASSERT_TRUE(writeBytes(d + "/\xe9t\xe9", "B"));
    QMFileCopier copier;
    EXPECT_FALSE(copier.copyItem(d + "/a", d + "/\xe9t\xe9")); // never over an existing item
    EXPECT_EQ(readBytes(d + "/\xe9t\xe9"), QByteArray("B"));
    EXPECT_FALSE(copier.copyItem(d + "/missing", d + "/copy"));
    EXPECT_EQ(copier.failureCount(), 2);
    EXPECT_TRUE(copier.summary().contains(QStringLiteral("\\xe9t\\xe9"))) << copier.summary().toStdString();
    EXPECT_TRUE(copier.summary().endsWith(QStringLiteral("(and 1 more items not copied)")));
}

// A new file is created with its mode where that is what it gets; where the umask, a
// default ACL or a folder's group would change it, the copy still ends as the source is.
TEST(QMFileCopier, ModesAndGroupsSurviveWhatTheDestinationHandsDown)
{
    QMTemporaryDir source, disk;
    const QByteArray s = fs(source.path()) + "/tree";
    ASSERT_EQ(mkdir(c(s), 0755), 0);
    const QList<QPair<QByteArray, mode_t>> files{
        {"plain", 0644}, {"tool", 0755}, {"read-only", 0444}, {"shared", 0664}, {"setuid", 04755}, {"secret", 0600}};
    for (const auto &[name, mode] : files) {
        ASSERT_TRUE(writeBytes(s + '/' + name, name));
        ASSERT_EQ(chmod(c(s + '/' + name), mode), 0);
    }

    const QByteArray d = fs(disk.path());
    QList<QByteArray> places{d + "/plain"};
    // A default ACL that gives new items nothing but their owner's rights, whatever asked.
    const QByteArray aclFolder = d + "/acl";
    ASSERT_EQ(mkdir(c(aclFolder), 0755), 0);
    struct { quint32 version; struct { quint16 tag, perm; quint32 id; } entries[3]; } acl{
        2, {{0x01, 7, quint32(-1)}, {0x04, 0, quint32(-1)}, {0x20, 0, quint32(-1)}}};
    if (setxattr(c(aclFolder), "system.posix_acl_default", &acl, sizeof acl, 0) == 0)
        places << aclFolder;
    // A folder that hands down a group of its own (root only gives it away).
    if (geteuid() == 0) {
        const QByteArray groupFolder = d + "/group";
        ASSERT_EQ(mkdir(c(groupFolder), 0755), 0);
        ASSERT_EQ(chown(c(groupFolder), 0, 4242), 0);
        ASSERT_EQ(chmod(c(groupFolder), 02775), 0);
        places << groupFolder;
    }
    ASSERT_EQ(mkdir(c(places.first()), 0755), 0);

    // Under a umask that takes bits away, and under none, where the ACL alone does.
    for (const mode_t mask : {mode_t(027), mode_t(0)}) {
        const mode_t previousUmask = umask(mask);
        for (const QByteArray &place : std::as_const(places)) {
            SCOPED_TRACE(place.toStdString() + " umask " + std::to_string(mask));
            const QByteArray copy = place + "/copy" + QByteArray::number(mask);
            QMFileCopier copier;
            EXPECT_TRUE(copier.copyItem(s, copy)) << copier.summary().toStdString();
            for (const auto &[name, mode] : files) {
                const struct stat copied = statOf(copy + '/' + name), original = statOf(s + '/' + name);
                EXPECT_EQ(copied.st_mode & 07777, mode) << name.constData();
                EXPECT_EQ(copied.st_gid, original.st_gid) << name.constData();
                EXPECT_EQ(readBytes(copy + '/' + name), name);
            }
            EXPECT_EQ(statOf(copy).st_mode & 07777, 0755u);
        }
        umask(previousUmask);
    }
}

// The kernel copies within one file system; between a memory file system and a disk it
// refuses, and the copier stops asking for that pair only. Small files with holes keep them.
TEST(QMFileCopier, TheKernelCopyRefusedBetweenTwoFileSystemsIsStillUsedWithinOne)
{
    QMTemporaryDir memory(QStringLiteral("/dev/shm/qm-copier-XXXXXX")), disk;
    if (!memory.isValid() || statOf(fs(memory.path())).st_dev == statOf(fs(disk.path())).st_dev)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    const QByteArray m = fs(memory.path()), d = fs(disk.path());
    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char((i * 131) ^ (i >> 9));
    ASSERT_TRUE(writeBytes(m + "/big", big));
    // 60 KiB: a hole of 32 KiB, then data.
    const int fd = open(c(m + "/holey"), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, big.constData(), 28 * 1024, 32 * 1024), 28 * 1024);
    close(fd);

    QMFileCopier copier;
    ASSERT_TRUE(copier.copyItem(m + "/big", d + "/big across")) << copier.summary().toStdString();
    ASSERT_TRUE(copier.copyItem(m + "/holey", d + "/holey")) << copier.summary().toStdString();
    const quint64 across = copier.statistics().bytesCopiedInKernel;
    ASSERT_TRUE(copier.copyItem(d + "/big across", d + "/big within")) << copier.summary().toStdString();
    ASSERT_TRUE(copier.copyItem(m + "/big", d + "/big across again")) << copier.summary().toStdString();
    ASSERT_TRUE(copier.copyItem(m + "/big", m + "/big within memory")) << copier.summary().toStdString();
    EXPECT_GE(copier.statistics().bytesCopiedInKernel, across + 2 * quint64(big.size()));
    for (const char *name : {"/big across", "/big within", "/big across again"})
        EXPECT_EQ(readBytes(d + name), big) << name;
    EXPECT_EQ(readBytes(m + "/big within memory"), big);

    const struct stat holey = statOf(d + "/holey");
    EXPECT_EQ(holey.st_size, 60 * 1024);
    EXPECT_LE(holey.st_blocks * 512, 40 * 1024); // the hole stayed a hole
    EXPECT_EQ(readBytes(d + "/holey"), QByteArray(32 * 1024, '\0') + big.left(28 * 1024));
}
