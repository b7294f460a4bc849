// Incremental saves: the new copy links the unchanged files of the last complete one and
// copies the rest, and ends equal to the volume in everything a copy keeps.

#include "QMFileCopier.h"
#include "QMRamDiskBackup.h"
#include "QMRamDiskTestSupport.h"
#include "QMTemporaryDir.h"

#include "QMTestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QMap>

#include <algorithm>
#include <functional>
#include <map>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

using namespace QMEngineTest;

namespace {

QByteArray fs(const QString &path)
{
    return QFile::encodeName(path);
}

struct stat statOf(const QByteArray &path)
{
    struct stat st {};
    lstat(path.constData(), &st);
    return st;
}

// Rewrites a file in place, as an editor that keeps the file's identity does.
bool overwriteInPlace(const QByteArray &path, const QByteArray &data)
{
    const int fd = open(path.constData(), O_WRONLY | O_TRUNC);
    if (fd < 0)
        return false;
    const bool ok = write(fd, data.constData(), size_t(data.size())) == data.size();
    return close(fd) == 0 && ok;
}

bool setTimes(const QByteArray &path, const struct timespec &t)
{
    const struct timespec times[2] = {t, t};
    return utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

struct timespec hoursAgo(int hours, long nsec = 123456789)
{
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return {now.tv_sec - hours * 3600, nsec};
}

// Dates every item of a tree in the past, as files the user made long before a save.
void ageTreeItems(const QByteArray &root)
{
    DIR *dir = opendir(root.constData());
    ASSERT_TRUE(dir);
    QList<QByteArray> children;
    while (struct dirent *e = readdir(dir))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            children << root + '/' + e->d_name;
    closedir(dir);
    for (const QByteArray &child : children) {
        if (S_ISDIR(statOf(child).st_mode))
            ageTreeItems(child);
        setTimes(child, hoursAgo(2));
    }
    setTimes(root, hoursAgo(2));
}

// The same, once the clock is past the change of those times (see waitUntilOlderThanASave).
void ageTree(const QByteArray &root)
{
    ageTreeItems(root);
    ASSERT_TRUE(waitUntilOlderThanASave(QFile::decodeName(root))); // the root's times are set last
}

std::vector<std::pair<std::string, std::string>> attributesOf(const QByteArray &path)
{
    std::vector<std::pair<std::string, std::string>> list;
    char names[4096];
    const ssize_t size = llistxattr(path.constData(), names, sizeof names);
    for (ssize_t i = 0; i < size;) {
        const char *name = names + i;
        i += ssize_t(strlen(name)) + 1;
        if (strcmp(name, QMFileCopier::kSourceFolderAttribute) == 0) // the copy's own record
            continue;
        char value[4096];
        const ssize_t n = lgetxattr(path.constData(), name, value, sizeof value);
        list.emplace_back(name, std::string(value, size_t(std::max<ssize_t>(n, 0))));
    }
    std::sort(list.begin(), list.end());
    return list;
}

// Every difference between two trees in what a copy keeps: names, kinds, contents, link
// targets, modes, owners, modification times to the nanosecond, extended attributes, and
// which names are one file.
void compareTrees(const QByteArray &a, const QByteArray &b, const QByteArray &relative, QStringList *differences,
                  std::map<ino_t, ino_t> *inodes)
{
    const auto names = [](const QByteArray &dirPath) {
        QList<QByteArray> list;
        QMFileCopier::listDirectory(dirPath, &list, nullptr);
        std::sort(list.begin(), list.end());
        return list;
    };
    const QList<QByteArray> left = names(a), right = names(b);
    if (left != right) {
        differences->append(QStringLiteral("%1: names differ").arg(QString::fromUtf8(relative)));
        return;
    }
    for (const QByteArray &name : left) {
        const QByteArray pa = a + '/' + name, pb = b + '/' + name, rel = relative + '/' + name;
        const struct stat sa = statOf(pa), sb = statOf(pb);
        const QString where = QString::fromUtf8(rel);
        if (sa.st_mode != sb.st_mode || sa.st_uid != sb.st_uid || sa.st_gid != sb.st_gid)
            differences->append(where + QStringLiteral(": mode or owner"));
        if (!S_ISDIR(sa.st_mode)
            && (sa.st_mtim.tv_sec != sb.st_mtim.tv_sec || sa.st_mtim.tv_nsec != sb.st_mtim.tv_nsec))
            differences->append(where + QStringLiteral(": modification time"));
        if (attributesOf(pa) != attributesOf(pb))
            differences->append(where + QStringLiteral(": extended attributes"));
        if (S_ISREG(sa.st_mode)) {
            if (readBytes(pa) != readBytes(pb))
                differences->append(where + QStringLiteral(": contents"));
            const auto known = inodes->find(sa.st_ino);
            if (known == inodes->end())
                (*inodes)[sa.st_ino] = sb.st_ino;
            else if (known->second != sb.st_ino)
                differences->append(where + QStringLiteral(": a hard link became a file of its own"));
        } else if (S_ISLNK(sa.st_mode)) {
            char ta[4096] = {}, tb[4096] = {};
            if (readlink(pa.constData(), ta, sizeof ta - 1) < 0 || readlink(pb.constData(), tb, sizeof tb - 1) < 0
                || strcmp(ta, tb) != 0)
                differences->append(where + QStringLiteral(": link target"));
        } else if (S_ISDIR(sa.st_mode)) {
            compareTrees(pa, pb, rel, differences, inodes);
        }
    }
}

QStringList differencesBetween(const QString &volume, const QString &copy)
{
    QStringList differences;
    std::map<ino_t, ino_t> inodes;
    compareTrees(fs(volume), fs(copy), QByteArray(), &differences, &inodes);
    // Two files of the volume must not have become one in the copy.
    std::map<ino_t, ino_t> reverse;
    for (const auto &[from, to] : inodes)
        if (!reverse.emplace(to, from).second)
            differences << QStringLiteral("two files of the volume are one file in the copy");
    return differences;
}

// Runs one save of `volume` in a child process and kills it once `halfWay` holds; false
// when the save ended first.
bool killSaveHalfWay(const QString &volume, const QString &backup, bool keepsOlderCopy,
                     const std::function<bool()> &halfWay)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILMO_TEST_SAVER_VOLUME"), volume);
    env.insert(QStringLiteral("QUILMO_TEST_SAVER_BACKUP"), backup);
    if (keepsOlderCopy)
        env.insert(QStringLiteral("QUILMO_TEST_SAVER_KEEPS_OLDER"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=QMRamDiskCopiesChild.Saver")});
    if (!child.waitForStarted())
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!halfWay() && timer.elapsed() < 60000 && child.state() == QProcess::Running)
        QThread::usleep(200);
    if (child.state() != QProcess::Running)
        return false;
    kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished();
    return true;
}

QMError::Ptr save(const QString &volume, const QString &backup, QMFileCopier::Statistics *statistics = nullptr)
{
    return QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"),
                                                                  statistics);
}

class IncrementalSave : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_volume.isValid() && _disk.isValid());
        v = fs(_volume.path());
        backup = _disk.path() + QStringLiteral("/ID.QuilmoBackup");
        b = fs(backup);
    }
    QString volume() const { return _volume.path(); }

    QMTemporaryDir _volume, _disk;
    QByteArray v, b;
    QString backup;
};

} // namespace

TEST_F(IncrementalSave, AfterChangesTheCopyEqualsTheVolumeAndOnlyUnchangedFilesAreLinked)
{
    ASSERT_EQ(mkdir((v + "/docs").constData(), 0750), 0);
    ASSERT_EQ(mkdir((v + "/docs/deep").constData(), 0700), 0);
    const QList<QByteArray> files{"/same.txt", "/edited.txt", "/chmoded.sh", "/tagged.txt", "/deleted.txt",
                                  "/docs/kept.md", "/docs/deep/nested.bin", "/same-second.txt"};
    for (const QByteArray &f : files)
        ASSERT_TRUE(writeBytes(v + f, "contents of " + f));
    ASSERT_TRUE(writeBytes(v + "/linked", "two names"));
    ASSERT_EQ(link((v + "/linked").constData(), (v + "/docs/other name").constData()), 0);
    ASSERT_EQ(symlink("docs/deep", (v + "/shortcut").constData()), 0);
    ASSERT_EQ(setxattr((v + "/tagged.txt").constData(), "user.quilmo.tag", "red", 3, 0), 0);
    {
        const int fd = open((v + "/sparse.img").constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "S", 1, 8 * 1024 * 1024), 1);
        close(fd);
    }
    ageTree(v);

    QMFileCopier::Statistics first;
    ASSERT_FALSE(save(volume(), backup, &first));
    EXPECT_EQ(first.filesLinked, 0u);
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
    QMap<QByteArray, ino_t> before;
    for (const QByteArray &f : files + QList<QByteArray>{"/linked", "/sparse.img"})
        before.insert(f, statOf(b + f).st_ino);

    // Changed, added, deleted, chmod-ed, tagged, and rewritten within the same second.
    ASSERT_TRUE(overwriteInPlace(v + "/edited.txt", "new contents, longer than before"));
    ASSERT_EQ(chmod((v + "/chmoded.sh").constData(), 0755), 0);
    ASSERT_EQ(setxattr((v + "/tagged.txt").constData(), "user.quilmo.tag", "blu", 3, 0), 0); // same size
    ASSERT_EQ(unlink((v + "/deleted.txt").constData()), 0);
    ASSERT_TRUE(writeBytes(v + "/docs/added.md", "a new file"));
    const struct timespec sameSecond = statOf(v + "/same-second.txt").st_mtim;
    ASSERT_TRUE(overwriteInPlace(v + "/same-second.txt", "CONTENTS OF /same-second.txt"));
    ASSERT_TRUE(setTimes(v + "/same-second.txt", {sameSecond.tv_sec, sameSecond.tv_nsec + 1}));

    QMFileCopier::Statistics second;
    ASSERT_FALSE(save(volume(), backup, &second));
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
    // Unchanged files are the previous copy's files; changed ones are new files.
    for (const QByteArray &f : {QByteArray("/same.txt"), QByteArray("/docs/kept.md"), QByteArray("/docs/deep/nested.bin"),
                                QByteArray("/linked"), QByteArray("/sparse.img")})
        EXPECT_EQ(statOf(b + f).st_ino, before.value(f)) << f.toStdString() << " was copied again";
    for (const QByteArray &f : {QByteArray("/edited.txt"), QByteArray("/chmoded.sh"), QByteArray("/tagged.txt"),
                                QByteArray("/same-second.txt")})
        EXPECT_NE(statOf(b + f).st_ino, before.value(f)) << f.toStdString() << " was linked, not copied";
    EXPECT_EQ(second.filesLinked, 5u);
    EXPECT_EQ(second.filesCopied, 5u); // four changed, one added
    // The previous copy is gone, so nothing is shared any more: a later edit of the
    // copy (a base put back in place) changes no other copy.
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
    QMRamDiskBackup::waitForDiscards(); // the set-aside previous copy is removed in the background
    EXPECT_EQ(statOf(b + "/same.txt").st_nlink, 1u);
    EXPECT_EQ(statOf(b + "/linked").st_nlink, 2u); // the user's own two names
    EXPECT_EQ(statOf(b + "/linked").st_ino, statOf(b + "/docs/other name").st_ino);
    EXPECT_LE(statOf(b + "/sparse.img").st_blocks * 512, 64 * 1024); // still sparse
}

// A file rewritten right after it was copied, within one tick of the file system's clock,
// keeps its time and size: only its age tells that the copy may hold the old contents.
TEST_F(IncrementalSave, AFileWrittenWhileTheLastCopyWasMadeIsCopiedAgain)
{
    ASSERT_TRUE(writeBytes(v + "/busy.log", "first version"));
    ASSERT_TRUE(writeBytes(v + "/old.txt", "old"));
    setTimes(v + "/old.txt", hoursAgo(1));
    ASSERT_TRUE(waitUntilOlderThanASave(QFile::decodeName(v + "/old.txt")));
    ASSERT_FALSE(save(volume(), backup));
    const struct timespec stamp = statOf(v + "/busy.log").st_mtim;
    ASSERT_TRUE(overwriteInPlace(v + "/busy.log", "second versio")); // the same size
    ASSERT_TRUE(setTimes(v + "/busy.log", stamp));
    ASSERT_EQ(statOf(v + "/busy.log").st_size, statOf(b + "/busy.log").st_size);

    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume(), backup, &statistics));
    EXPECT_EQ(readBytes(b + "/busy.log"), QByteArray("second versio"));
    EXPECT_EQ(statistics.filesLinked, 1u); // old.txt only
}

// A file whose extended attributes changed since the last copy (its status time moved,
// not its modification time) is copied again.
TEST_F(IncrementalSave, AttributesChangedOnOldFilesAreSaved)
{
    for (const char *name : {"/retagged", "/tagged", "/untouched"})
        ASSERT_TRUE(writeBytes(v + name, "same contents"));
    ASSERT_EQ(setxattr((v + "/retagged").constData(), "user.quilmo.tag", "1", 1, 0), 0);
    ageTree(v);
    ASSERT_FALSE(save(volume(), backup));

    ASSERT_EQ(setxattr((v + "/retagged").constData(), "user.quilmo.tag", "2", 1, 0), 0);
    ASSERT_EQ(setxattr((v + "/tagged").constData(), "user.quilmo.new", "x", 1, 0), 0);
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume(), backup, &statistics));
    EXPECT_EQ(statistics.filesLinked, 1u);
    EXPECT_EQ(statistics.filesCopied, 2u);
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
}

// Edits that keep the size and the modification time: in place, then dated back as touch -r,
// cp -p and rsync -t do; and a name replaced by another file of the same size and time
// (mv b a). Only the status change time, which no program can set back, tells.
TEST_F(IncrementalSave, EditsThatKeepTheSizeAndTheTimeAreSaved)
{
    for (const char *name : {"/edited", "/kept"})
        ASSERT_TRUE(writeBytes(v + name, QByteArray("version 1 of ") + name));
    ASSERT_TRUE(writeBytes(v + "/a", "contents of a"));
    ASSERT_TRUE(writeBytes(v + "/b", "contents of b"));
    ageTree(v);
    ASSERT_TRUE(setTimes(v + "/b", statOf(v + "/a").st_mtim));
    ASSERT_TRUE(waitUntilOlderThanASave(QFile::decodeName(v + "/b")));
    ASSERT_FALSE(save(volume(), backup));

    const struct timespec edited = statOf(v + "/edited").st_mtim;
    ASSERT_TRUE(overwriteInPlace(v + "/edited", "VERSION 2 of /edited"));
    ASSERT_TRUE(setTimes(v + "/edited", edited));
    ASSERT_EQ(rename((v + "/b").constData(), (v + "/a").constData()), 0);
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume(), backup, &statistics));
    EXPECT_EQ(readBytes(b + "/edited"), QByteArray("VERSION 2 of /edited"));
    EXPECT_EQ(readBytes(b + "/a"), QByteArray("contents of b"));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral("/b")));
    EXPECT_EQ(statistics.filesLinked, 1u) << "only /kept is unchanged";
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
}

// A change of owner or group alone (contents, size, mode and times untouched) makes a new
// file with the new owner, never the old copy's file; the restore brings the new owner back.
TEST_F(IncrementalSave, AnOwnershipChangeAloneWritesANewFileWithTheNewOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root may give a file to another owner";
    for (const char *name : {"/regrouped", "/given", "/kept"})
        ASSERT_TRUE(writeBytes(v + name, QByteArray("contents of ") + name));
    ageTree(v);
    ASSERT_FALSE(save(volume(), backup));
    const ino_t regroupedBefore = statOf(b + "/regrouped").st_ino, givenBefore = statOf(b + "/given").st_ino;

    const struct stat was = statOf(v + "/given");
    ASSERT_EQ(lchown((v + "/regrouped").constData(), uid_t(-1), 4321), 0);
    ASSERT_EQ(lchown((v + "/given").constData(), 4322, 4323), 0);
    ASSERT_EQ(statOf(v + "/given").st_mode, was.st_mode);
    ASSERT_EQ(statOf(v + "/given").st_mtim.tv_nsec, was.st_mtim.tv_nsec);
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume(), backup, &statistics));
    EXPECT_EQ(statistics.filesLinked, 1u);
    EXPECT_NE(statOf(b + "/regrouped").st_ino, regroupedBefore) << "the old copy's file was linked";
    EXPECT_NE(statOf(b + "/given").st_ino, givenBefore) << "the old copy's file was linked";
    EXPECT_EQ(statOf(b + "/regrouped").st_gid, 4321u);
    EXPECT_EQ(statOf(b + "/given").st_uid, 4322u);
    EXPECT_EQ(statOf(b + "/given").st_gid, 4323u);

    QMTemporaryDir restored;
    ASSERT_FALSE(QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(restored.path(), backup));
    const QByteArray r = fs(restored.path());
    EXPECT_EQ(statOf(r + "/regrouped").st_gid, 4321u);
    EXPECT_EQ(statOf(r + "/given").st_uid, 4322u);
    EXPECT_EQ(statOf(r + "/given").st_gid, 4323u);
    EXPECT_EQ(readBytes(r + "/given"), QByteArray("contents of /given"));
}

// One file with two names in the last copy, two files with the same contents and times
// now: linking both from the last copy would make them one file again.
TEST_F(IncrementalSave, NamesThatStoppedBeingOneFileStayTwoFiles)
{
    ASSERT_TRUE(writeBytes(v + "/a", "shared"));
    ASSERT_EQ(link((v + "/a").constData(), (v + "/b").constData()), 0);
    ageTree(v);
    ASSERT_FALSE(save(volume(), backup));
    ASSERT_EQ(statOf(b + "/a").st_ino, statOf(b + "/b").st_ino);

    const struct stat was = statOf(v + "/b");
    ASSERT_EQ(unlink((v + "/b").constData()), 0);
    ASSERT_TRUE(writeBytes(v + "/b", "shared"));
    ASSERT_EQ(chmod((v + "/b").constData(), was.st_mode & 07777), 0);
    ASSERT_TRUE(setTimes(v + "/b", was.st_mtim));

    ASSERT_FALSE(save(volume(), backup));
    EXPECT_NE(statOf(b + "/a").st_ino, statOf(b + "/b").st_ino);
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();

    // And the other way: two files that became one are one file in the copy.
    ASSERT_EQ(unlink((v + "/b").constData()), 0);
    ASSERT_EQ(link((v + "/a").constData(), (v + "/b").constData()), 0);
    ASSERT_FALSE(save(volume(), backup));
    EXPECT_EQ(statOf(b + "/a").st_ino, statOf(b + "/b").st_ino);
}

// A save that fails half way (its disk is full) leaves the last complete copy as it was,
// although the new one shared its files, and the next save starts from it again.
TEST_F(IncrementalSave, AFailedSaveLeavesTheLastCopyWholeAndUnchanged)
{
    QM_REQUIRE_LOOP_DEVICES();
    LoopFileSystem disk(_disk.path() + QStringLiteral("/disk.img"), _disk.path() + QStringLiteral("/disk"), 8, {},
                        false);
    ASSERT_TRUE(disk.isValid());
    backup = _disk.path() + QStringLiteral("/disk/ID.QuilmoBackup");
    b = fs(backup);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(writeBytes(v + "/f" + QByteArray::number(i), "version 1 of " + QByteArray::number(i)));
    ageTree(v);
    ASSERT_FALSE(save(volume(), backup));

    ASSERT_TRUE(overwriteInPlace(v + "/f3", "version 2 of 3"));
    ASSERT_TRUE(writeBytes(v + "/f9-large", QByteArray(12 * 1024 * 1024, 'L'))); // more than the disk holds
    const QMError::Ptr error = save(volume(), backup);
    ASSERT_TRUE(error);
    for (int i = 0; i < 20; ++i) {
        const QByteArray f = b + "/f" + QByteArray::number(i);
        EXPECT_EQ(readBytes(f), "version 1 of " + QByteArray::number(i));
        EXPECT_EQ(statOf(f).st_nlink, 1u) << "the failed copy's links were left behind";
    }
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".partial")));

    ASSERT_EQ(unlink((v + "/f9-large").constData()), 0);
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(save(volume(), backup, &statistics));
    EXPECT_EQ(statistics.filesLinked, 19u);
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty());
}

// The saving process dies half way through an incremental save whose new copy already
// shares files with the last one; then the RAM disk is lost. The last complete copy is
// untouched and is what the next creation restores; the next save cleans up.
TEST(QMIncrementalSaveEndToEnd, AKilledIncrementalSaveLeavesTheLastCopyForTheRestore)
{
    QM_REQUIRE_LOOP_DEVICES();
    RamDiskSandbox sandbox;
    ASSERT_TRUE(sandbox.isValid());
    QMRamDisk::Ptr r = sandbox.makeRamDisk(sandbox.mkdir(QStringLiteral("volumes")), QStringLiteral("Killed"), 400000000);
    r->setBackupMode(QMRamDiskBackupMode_chosenDirectory);
    r->setBackupDir(sandbox.mkdir(QStringLiteral("backups")));
    RecordingDelegate delegate;
    QMError::Ptr error;
    ASSERT_TRUE(r->createWithDelegate(&delegate, &error));
    const QByteArray volume = fs(r->path());
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(writeBytes(volume + "/v1-" + QByteArray::number(i), "version 1 of " + QByteArray::number(i)));
    ageTree(volume);
    delegate.clear(); // the creation's final report is not the backup's
    r->performAction(QMRamDiskAction_backup, &delegate, true);
    ASSERT_TRUE(delegate.waitForEnd());
    ASSERT_FALSE(r->lastError());
    const QString backup = r->backupDirPath();

    for (int i = 0; i < 50; i += 5)
        ASSERT_TRUE(overwriteInPlace(volume + "/v1-" + QByteArray::number(i), "version 2 of " + QByteArray::number(i)));
    for (int d = 0; d < 20; ++d) {
        const QByteArray dir = volume + "/v2-" + QByteArray::number(d);
        ASSERT_EQ(mkdir(dir.constData(), 0755), 0);
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(writeBytes(dir + "/f" + QByteArray::number(i), QByteArray(20000 + i, char('a' + d))));
    }
    const QByteArray partial = fs(backup) + ".partial";
    // Killed once the first unchanged file is linked: names come in directory order, so the
    // new folders may come before or after it, but rarely all before.
    const auto copying = [&] {
        for (int i = 0; i < 50; ++i)
            if (statOf(fs(backup) + "/v1-" + QByteArray::number(i)).st_nlink > 1)
                return true;
        return false;
    };
    ASSERT_TRUE(killSaveHalfWay(r->path(), backup, false, copying)) << "the save ended before it could be interrupted";
    int shared = 0;
    for (int i = 0; i < 50; ++i) {
        const QByteArray f = fs(backup) + "/v1-" + QByteArray::number(i);
        EXPECT_EQ(readBytes(f), "version 1 of " + QByteArray::number(i));
        shared += statOf(f).st_nlink > 1 ? 1 : 0;
    }
    EXPECT_GT(shared, 0) << "the interrupted save had linked nothing: the test proves nothing";

    const QString path = r->path(), deviceNode = r->deviceNode();
    ASSERT_EQ(runTool(QStringLiteral("umount"), {QStringLiteral("-f"), path}), 0);
    ASSERT_EQ(runTool(QStringLiteral("hdiutil"), {QStringLiteral("detach"), deviceNode}), 0);
    QVariantMap coder;
    r->encodeWithCoder(&coder);
    QMRamDisk::Ptr again = QMRamDisk::initWithCoder(coder);
    sandbox.watch(again);
    ASSERT_TRUE(again->createWithDelegate(&delegate, &error));
    EXPECT_FALSE(error) << (error ? error->description().toStdString() : "");
    EXPECT_TRUE(differencesBetween(again->path(), backup).isEmpty());
    EXPECT_EQ(readBytes(fs(again->path()) + "/v1-5"), QByteArray("version 1 of 5"));
    EXPECT_FALSE(QFileInfo::exists(again->path() + QStringLiteral("/v2-0")));

    delegate.clear();
    again->performAction(QMRamDiskAction_eject, &delegate, false);
    ASSERT_FALSE(again->lastError());
    EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(partial)));
    QMRamDiskBackup::waitForDiscards();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(statOf(fs(backup) + "/v1-" + QByteArray::number(i)).st_nlink, 1u);
}

namespace {

QMError::Ptr saveKeepingOlder(const QString &volume, const QString &backup, QMFileCopier::Statistics *statistics = nullptr)
{
    return QMRamDiskBackup::sharedInstance()->backupRamDiskAtPath(volume, backup, QStringLiteral("previous"),
                                                                  statistics, true);
}

} // namespace

// From the third save on, the copy before the last one is brought up to date in place:
// every kind of change ends in the new copy, and the last copy, which shares files with
// it, keeps what it held.
TEST_F(IncrementalSave, TheOlderCopyIsBroughtUpToDateWithoutTouchingTheLastOne)
{
    const QByteArray older = b + ".older";
    for (const char *dir : {"/docs", "/docs/deep", "/gone-dir", "/gone-dir/inner", "/becomes-file"})
        ASSERT_EQ(mkdir((v + dir).constData(), 0750), 0);
    for (const char *f : {"/same.txt", "/edited.txt", "/chmoded.sh", "/untagged.txt", "/deleted.txt", "/becomes-dir",
                          "/docs/kept.md", "/docs/deep/nested.bin", "/gone-dir/inner/x", "/becomes-file/y", "/pair"})
        ASSERT_TRUE(writeBytes(v + f, QByteArray("contents of ") + f));
    ASSERT_EQ(link((v + "/pair").constData(), (v + "/docs/pair too").constData()), 0);
    ASSERT_EQ(setxattr((v + "/untagged.txt").constData(), "user.quilmo.tag", "red", 3, 0), 0);
    ASSERT_EQ(setxattr((v + "/docs").constData(), "user.quilmo.dropped", "1", 1, 0), 0);
    // Most files stay as they are, as in a real save: else the replaced copy is not kept.
    ASSERT_EQ(mkdir((v + "/bulk").constData(), 0755), 0);
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeBytes(v + "/bulk/" + QByteArray::number(i), "unchanged"));
    ageTree(v);
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(older))) << "a first copy has no older one";

    ASSERT_TRUE(overwriteInPlace(v + "/edited.txt", "version 2"));
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    ASSERT_TRUE(QFileInfo::exists(QFile::decodeName(older)));
    EXPECT_EQ(statOf(older + "/same.txt").st_ino, statOf(b + "/same.txt").st_ino);
    const ino_t olderFolder = statOf(older + "/docs/deep").st_ino;

    ASSERT_TRUE(overwriteInPlace(v + "/edited.txt", "version 3, longer"));
    ASSERT_EQ(chmod((v + "/chmoded.sh").constData(), 0700), 0);
    ASSERT_EQ(removexattr((v + "/untagged.txt").constData(), "user.quilmo.tag"), 0);
    ASSERT_EQ(removexattr((v + "/docs").constData(), "user.quilmo.dropped"), 0);
    ASSERT_EQ(setxattr((v + "/docs").constData(), "user.quilmo.added", "2", 1, 0), 0);
    ASSERT_EQ(unlink((v + "/deleted.txt").constData()), 0);
    ASSERT_TRUE(QMRamDiskBackup::removeItemAtPath(volume() + QStringLiteral("/gone-dir"), nullptr));
    ASSERT_EQ(unlink((v + "/becomes-dir").constData()), 0);
    ASSERT_EQ(mkdir((v + "/becomes-dir").constData(), 0755), 0);
    ASSERT_TRUE(writeBytes(v + "/becomes-dir/z", "inside"));
    ASSERT_TRUE(QMRamDiskBackup::removeItemAtPath(volume() + QStringLiteral("/becomes-file"), nullptr));
    ASSERT_TRUE(writeBytes(v + "/becomes-file", "a file now"));
    ASSERT_EQ(unlink((v + "/docs/pair too").constData()), 0); // the pair's names part ways
    ASSERT_TRUE(writeBytes(v + "/docs/pair too", "contents of /pair"));
    ASSERT_EQ(link((v + "/same.txt").constData(), (v + "/docs/same again").constData()), 0);
    ASSERT_TRUE(writeBytes(v + "/docs/deep/added", "new"));
    const struct timespec docsTime = hoursAgo(5);
    ASSERT_TRUE(setTimes(v + "/docs", docsTime));
    ASSERT_TRUE(waitUntilOlderThanASave(volume() + QStringLiteral("/docs")));

    QMFileCopier::Statistics third;
    ASSERT_FALSE(saveKeepingOlder(volume(), backup, &third));
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
    EXPECT_EQ(statOf(b + "/docs").st_mtim.tv_sec, docsTime.tv_sec) << "the folder's time was not set again";
    EXPECT_EQ(statOf(b + "/docs/deep").st_ino, olderFolder) << "the older copy was not the one brought up to date";
    EXPECT_EQ(statOf(b + "/docs/deep/nested.bin").st_nlink, 2u) << "an unchanged file was made anew";
    EXPECT_EQ(third.filesLinked, 42u); // bulk, kept.md, nested.bin: every other file's status changed
    // The last copy is now the older one, and holds what it held.
    EXPECT_EQ(readBytes(older + "/edited.txt"), QByteArray("version 2"));
    EXPECT_EQ(readBytes(older + "/deleted.txt"), QByteArray("contents of /deleted.txt"));
    EXPECT_EQ(statOf(older + "/chmoded.sh").st_mode & 07777, 0644u);
    EXPECT_EQ(attributesOf(older + "/untagged.txt").size(), 1u);
    EXPECT_TRUE(S_ISDIR(statOf(older + "/becomes-file").st_mode));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".partial")));
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".previous")));
}

// An older copy that is undated or damaged is no help: the save is made the usual way
// from the last copy, or repairs what it finds, and ends equal to the volume.
TEST_F(IncrementalSave, AnUndatedOrDamagedOlderCopyStillGivesAWholeCopy)
{
    const QByteArray older = b + ".older";
    ASSERT_EQ(mkdir((v + "/dir").constData(), 0755), 0);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(writeBytes(v + "/dir/f" + QByteArray::number(i), "file " + QByteArray::number(i)));
    ageTree(v);
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    ASSERT_TRUE(overwriteInPlace(v + "/dir/f0", "changed 1"));
    ASSERT_TRUE(waitUntilOlderThanASave(volume() + QStringLiteral("/dir/f0")));
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    ASSERT_TRUE(QFileInfo::exists(QFile::decodeName(older)));

    // Undated, as a copy that could not record its mapped files is.
    ASSERT_TRUE(setTimes(older, {0, 0}));
    ASSERT_TRUE(overwriteInPlace(v + "/dir/f1", "changed 2"));
    ASSERT_TRUE(waitUntilOlderThanASave(volume() + QStringLiteral("/dir/f1")));
    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(saveKeepingOlder(volume(), backup, &statistics));
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
    EXPECT_EQ(statistics.filesCopied, 1u);
    EXPECT_EQ(statistics.filesLinked, 9u);

    // Damaged: a file turned into a folder, one cut short, one gone, strangers beside.
    ASSERT_TRUE(QFileInfo::exists(QFile::decodeName(older)));
    ASSERT_EQ(unlink((older + "/dir/f2").constData()), 0);
    ASSERT_EQ(mkdir((older + "/dir/f2").constData(), 0755), 0);
    ASSERT_TRUE(writeBytes(older + "/dir/f2/stranger", "x"));
    ASSERT_EQ(unlink((older + "/dir/f3").constData()), 0); // not written into: the last copy shares it
    ASSERT_TRUE(writeBytes(older + "/dir/f3", "fi"));
    ASSERT_EQ(unlink((older + "/dir/f4").constData()), 0);
    ASSERT_TRUE(writeBytes(older + "/dir/stranger", "y"));
    ASSERT_EQ(mkdir((older + "/dir/stranger-dir").constData(), 0555), 0);
    const ino_t olderFolder = statOf(older + "/dir").st_ino;
    ASSERT_TRUE(overwriteInPlace(v + "/dir/f5", "changed 3"));
    ASSERT_TRUE(waitUntilOlderThanASave(volume() + QStringLiteral("/dir/f5")));
    ASSERT_FALSE(saveKeepingOlder(volume(), backup, &statistics));
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty()) << differencesBetween(volume(), backup).join(u'\n').toStdString();
    EXPECT_EQ(statistics.filesCopied, 1u); // the damaged ones are linked from the last copy
    EXPECT_EQ(statistics.filesLinked, 9u);
    EXPECT_EQ(statOf(b + "/dir").st_ino, olderFolder) << "the damaged copy was not the one brought up to date";
}

// The saving process dies while it brings the older copy up to date. The last complete
// copy is whole and is what a restore gives; the next save starts over the usual way.
TEST_F(IncrementalSave, AKilledUpdateOfTheOlderCopyLeavesTheLastCopyWhole)
{
    for (int d = 0; d < 10; ++d) {
        ASSERT_EQ(mkdir((v + "/d" + QByteArray::number(d)).constData(), 0755), 0);
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(writeBytes(v + "/d" + QByteArray::number(d) + "/f" + QByteArray::number(i), "version 1"));
    }
    ageTree(v);
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    ASSERT_TRUE(overwriteInPlace(v + "/d0/f0", "version 2"));
    ASSERT_FALSE(saveKeepingOlder(volume(), backup));
    ASSERT_TRUE(QFileInfo::exists(backup + QStringLiteral(".older")));

    // Much to copy: every file grows, and new folders of larger files come.
    for (int d = 0; d < 10; ++d)
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(overwriteInPlace(v + "/d" + QByteArray::number(d) + "/f" + QByteArray::number(i), "version 3"));
    for (int d = 10; d < 40; ++d) {
        ASSERT_EQ(mkdir((v + "/d" + QByteArray::number(d)).constData(), 0755), 0);
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(writeBytes(v + "/d" + QByteArray::number(d) + "/f" + QByteArray::number(i), QByteArray(40000, 'n')));
    }
    // Killed once the older copy, under the in-progress name, has a file made anew.
    const QByteArray partial = b + ".partial";
    const auto updating = [&] {
        for (int d = 0; d < 10; ++d)
            if (readBytes(partial + "/d" + QByteArray::number(d) + "/f1") == "version 3")
                return true;
        return false;
    };
    ASSERT_TRUE(killSaveHalfWay(volume(), backup, true, updating)) << "the save ended before it could be interrupted";
    EXPECT_FALSE(QFileInfo::exists(backup + QStringLiteral(".older"))) << "the older copy was not renamed first";

    EXPECT_EQ(QMRamDiskBackup::restoreSourceOf(backup, QStringLiteral("previous")), backup);
    for (int d = 0; d < 10; ++d)
        for (int i = 0; i < 100; ++i)
            EXPECT_EQ(readBytes(b + "/d" + QByteArray::number(d) + "/f" + QByteArray::number(i)),
                      QByteArray(d == 0 && i == 0 ? "version 2" : "version 1"));
    QMTemporaryDir restored;
    ASSERT_FALSE(QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(restored.path(), backup));
    EXPECT_TRUE(differencesBetween(restored.path(), backup).isEmpty());

    QMFileCopier::Statistics statistics;
    ASSERT_FALSE(saveKeepingOlder(volume(), backup, &statistics));
    EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(QFile::decodeName(partial)));
}

namespace {

// Folders of files that differ only in their contents: the same names, sizes, modes and
// times, as files unpacked from archives or made by a reproducible build.
void makeLookalikeFolders(const QByteArray &v, const QList<QByteArray> &folders)
{
    for (const QByteArray &folder : folders) {
        ASSERT_EQ(mkdir((v + '/' + folder).constData(), 0755), 0);
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(writeBytes(v + '/' + folder + "/f" + QByteArray::number(i),
                                   QByteArray("file " + QByteArray::number(i) + " of " + folder).leftJustified(40, '.')));
    }
}

void swapFolders(const QByteArray &v, const QByteArray &a, const QByteArray &b)
{
    ASSERT_EQ(rename((v + '/' + a).constData(), (v + "/swapping").constData()), 0);
    ASSERT_EQ(rename((v + '/' + b).constData(), (v + '/' + a).constData()), 0);
    ASSERT_EQ(rename((v + "/swapping").constData(), (v + '/' + b).constData()), 0);
}

// Two saves of the volume with 40 more files, the second after a small change: the
// first copy is then kept as the older one.
void saveTwiceKeepingOlder(const QString &volume, const QString &backup)
{
    const QByteArray v = fs(volume);
    ASSERT_EQ(mkdir((v + "/bulk").constData(), 0755), 0);
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeBytes(v + "/bulk/" + QByteArray::number(i), "unchanged"));
    ageTree(v);
    ASSERT_FALSE(saveKeepingOlder(volume, backup));
    ASSERT_TRUE(overwriteInPlace(v + "/bulk/0", "changed"));
    ASSERT_TRUE(waitUntilOlderThanASave(volume + QStringLiteral("/bulk/0")));
    ASSERT_FALSE(saveKeepingOlder(volume, backup));
    ASSERT_TRUE(QFileInfo::exists(backup + QStringLiteral(".older")));
}

// The copy, and what a restore of it gives, hold what the volume holds; the copy's
// records stay in the copy.
void expectSavedAndRestored(const QString &volume, const QString &backup)
{
    QMTemporaryDir restored;
    ASSERT_TRUE(restored.isValid());
    ASSERT_FALSE(QMRamDiskBackup::sharedInstance()->restoreRamDiskAtPath(restored.path(), backup));
    for (const QString &copy : {backup, restored.path()})
        EXPECT_TRUE(differencesBetween(volume, copy).isEmpty()) << differencesBetween(volume, copy).join(u'\n').toStdString();
    EXPECT_LT(lgetxattr(fs(restored.path() + QStringLiteral("/A")).constData(), QMFileCopier::kSourceFolderAttribute,
                        nullptr, 0), 0) << "a restore put a copy's record on the volume";
}

// How many folders of the tree at `root` carry a record.
int recordedFolders(const QByteArray &root)
{
    int count = lgetxattr(root.constData(), QMFileCopier::kSourceFolderAttribute, nullptr, 0) >= 0 ? 1 : 0;
    QList<QByteArray> names;
    QMFileCopier::listDirectory(root, &names, nullptr);
    for (const QByteArray &name : names)
        if (S_ISDIR(statOf(root + '/' + name).st_mode))
            count += recordedFolders(root + '/' + name);
    return count;
}

} // namespace

// Renaming a folder changes the folder's status only, not its files': after two folders
// swapped names, or a folder was replaced by a new one, each file looks like the
// unchanged file once at its path. Each is saved with its own contents.
TEST_F(IncrementalSave, FoldersThatSwappedNamesAreSavedWithTheirOwnFiles)
{
    makeLookalikeFolders(v, {"A", "B", "cur", "cur.new", "same"});
    // A folder copied with its attributes out of a copy: the record is the copy's own.
    const quint64 stranger = statOf(v + "/A").st_ino;
    ASSERT_EQ(setxattr((v + "/same").constData(), QMFileCopier::kSourceFolderAttribute, &stranger, sizeof stranger, 0), 0);
    ageTree(v);
    ASSERT_FALSE(save(volume(), backup));

    swapFolders(v, "A", "B");
    ASSERT_EQ(rename((v + "/cur").constData(), (v + "/cur.old").constData()), 0);
    ASSERT_EQ(rename((v + "/cur.new").constData(), (v + "/cur").constData()), 0);
    QMFileCopier::Statistics second;
    ASSERT_FALSE(save(volume(), backup, &second));
    expectSavedAndRestored(volume(), backup);
    EXPECT_EQ(second.filesLinked, 3u) << "the folder left as it was is linked";
    EXPECT_EQ(second.filesCopied, 12u);
}

// The same from the third save on, where the older copy is brought up to date in place:
// its swapped folders are made anew, not kept.
TEST_F(IncrementalSave, FoldersThatSwappedNamesAreSavedWithTheirOwnFilesIntoTheOlderCopy)
{
    makeLookalikeFolders(v, {"A", "B", "same"});
    saveTwiceKeepingOlder(volume(), backup);
    const ino_t olderSame = statOf(b + ".older/same").st_ino;

    swapFolders(v, "A", "B");
    QMFileCopier::Statistics third;
    ASSERT_FALSE(saveKeepingOlder(volume(), backup, &third));
    expectSavedAndRestored(volume(), backup);
    EXPECT_EQ(statOf(b + "/same").st_ino, olderSame) << "the older copy was not the one brought up to date";
    EXPECT_EQ(third.filesCopied, 6u);
    EXPECT_EQ(third.filesLinked, 43u);
}

// Copies made before folders recorded their source (or whose records were lost): the
// files of an unrecorded folder are copied, the rest linked, and the next save, from a
// recorded copy, links again.
TEST_F(IncrementalSave, FoldersOfACopyWithoutRecordsAreCopiedOnceThenLinkedAgain)
{
    ASSERT_EQ(mkdir((v + "/docs").constData(), 0755), 0);
    ASSERT_EQ(mkdir((v + "/docs/deep").constData(), 0755), 0);
    for (const char *f : {"/top.txt", "/docs/a.md", "/docs/deep/b.bin"})
        ASSERT_TRUE(writeBytes(v + f, QByteArray("contents of ") + f));
    saveTwiceKeepingOlder(volume(), backup);
    EXPECT_EQ(recordedFolders(b), 4); // the top, docs, docs/deep, bulk
    const auto saveAndCount = [this](quint64 copied, quint64 linked) {
        QMFileCopier::Statistics statistics;
        ASSERT_FALSE(saveKeepingOlder(volume(), backup, &statistics));
        EXPECT_TRUE(differencesBetween(volume(), backup).isEmpty());
        EXPECT_EQ(statistics.filesCopied, copied);
        EXPECT_EQ(statistics.filesLinked, linked);
    };

    // One folder unrecorded in both copies: its files, and those below it, are copied.
    for (const QByteArray &copy : {b, b + ".older"})
        ASSERT_EQ(removexattr((copy + "/docs").constData(), QMFileCopier::kSourceFolderAttribute), 0);
    saveAndCount(2, 41);
    // No record anywhere, as in a copy of the previous version.
    for (const QByteArray &copy : {b, b + ".older"}) {
        QMFileCopier::clearSourceFolderRecords(copy);
        EXPECT_EQ(recordedFolders(copy), 0);
    }
    saveAndCount(43, 0);
    EXPECT_EQ(recordedFolders(b), 4);
    saveAndCount(0, 43);
}
