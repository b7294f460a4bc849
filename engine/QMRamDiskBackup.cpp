#include "QMRamDiskBackup.h"

#include "QMFileCopier.h"
#include "QMFileRemover.h"
#include "QMFinderTools.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMNextDirEntry.h"
#include "QMRamDiskDevice.h"
#include "QMVolumeCapacity.h"
#include "QMVolumeHolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

// The reason of an error: the method log line with the failing condition.
#define QM_MethodReason(receiver, condition)                                                          \
    qm_detail::methodLine(__func__, __LINE__, qm_detail::receiverDescription(receiver), (condition))

namespace {

QByteArray fsPath(const QString &path)
{
    return QFile::encodeName(path);
}

QString errnoText(int errnum, const QByteArray &path)
{
    return QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(errnum)), QFile::decodeName(path));
}

bool removeItem(const QByteArray &path, QString *firstError)
{
    const QMFileRemover::Result result = QMFileRemover::removePath(QFile::decodeName(path));
    if (!result.ok() && firstError && firstError->isNull())
        *firstError = result.summary();
    return result.ok();
}

// On the top directory of a copy: the inode numbers (native 64-bit) of its files that were
// copied while a process mapped them shared and writable. Such a file may have been
// written after its copy was read without its times moving, so the next copy takes it
// from the volume again. A copy that could not hold the list is dated 0 instead, which
// keeps the next copy from taking anything from it.
const char kCopiedWhileMapped[] = "user.org.quilmo.copied-while-mapped";
// On the top directory of a copy: the sizes of its files (native 64-bit), for the rule
// that keeps a replaced copy for the next save (olderCopyWorthKeeping()).
const char kCopyBytes[] = "user.org.quilmo.copy-bytes";
// What a replaced copy may hold beyond what it shares with the new one and still be kept.
constexpr quint64 kOlderCopyAllowance = 16 * 1024 * 1024;

// Whether the copy `older`, just replaced by the copy `done` made, is worth keeping for
// the next save to bring up to date: when most files of the new copy are its files (else
// the next save would replace most of them, which costs more than linking them anew) and
// what it holds beyond them (old versions of changed files, files removed since) is small
// beside the new copy. A copy that does not say its size is not kept.
bool olderCopyWorthKeeping(const QByteArray &older, const QMFileCopier::Statistics &done)
{
    quint64 olderBytes = 0;
    if (lgetxattr(older.constData(), kCopyBytes, &olderBytes, sizeof olderBytes) != ssize_t(sizeof olderBytes))
        return false;
    const quint64 notShared = olderBytes > done.bytesLinked ? olderBytes - done.bytesLinked : 0;
    return done.filesLinked >= 3 * done.filesCopied
           && notShared <= (done.bytesCopied + done.bytesLinked) / 4 + kOlderCopyAllowance;
}

QList<quint64> copiedWhileMappedOf(const QByteArray &copy, bool *unsettled)
{
    QList<quint64> inodes;
    *unsettled = false;
    struct stat st {};
    if (lstat(copy.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return inodes;
    if (st.st_mtim.tv_sec == 0 && st.st_mtim.tv_nsec == 0)
        *unsettled = true;
    QByteArray value(4096, Qt::Uninitialized);
    ssize_t n = lgetxattr(copy.constData(), kCopiedWhileMapped, value.data(), size_t(value.size()));
    if (n < 0 && errno == ERANGE) {
        n = lgetxattr(copy.constData(), kCopiedWhileMapped, nullptr, 0);
        if (n > 0) {
            value.resize(n);
            n = lgetxattr(copy.constData(), kCopiedWhileMapped, value.data(), size_t(value.size()));
        }
    }
    for (ssize_t i = 0; i + ssize_t(sizeof(quint64)) <= n; i += ssize_t(sizeof(quint64))) {
        quint64 inode = 0;
        memcpy(&inode, value.constData() + i, sizeof inode);
        inodes << inode;
    }
    *unsettled = *unsettled || !inodes.isEmpty();
    return inodes;
}

// The first failure met since `before` failures were counted: kept in the list while it
// has room, else the last one met.
QMFileCopier::Failure firstFailureSince(const QMFileCopier &copier, int before)
{
    return before < copier.failures().size() ? copier.failures().at(before) : copier.lastFailure();
}

bool isEarlierTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A volume on a block device (a loop device) writes its dirty pages back on a flush and
// protects them again, so that the next write through a mapping faults and moves the
// file's times. A memory file system (device major 0) has nothing to write back.
void flushBlockDeviceVolume(const QByteArray &volume)
{
    const int fd = open(volume.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && major(st.st_dev) != 0 && syncfs(fd) != 0)
        QM_LogWarningMethod("QMRamDiskBackup", QStringLiteral("syncfs==NO volume:%1 error:%2")
                                                   .arg(QFile::decodeName(volume), QString::fromLocal8Bit(strerror(errno))));
    if (fd >= 0)
        close(fd);
}

} // namespace

QMRamDiskBackup *QMRamDiskBackup::sharedInstance()
{
    static QMRamDiskBackup instance;
    return &instance;
}

bool QMRamDiskBackup::fileManager(const QMRamDiskBackup *, const QString &, const QString &, const QString &) const
{
    return true;
}

QString QMRamDiskBackup::partialExtension()
{
    return QStringLiteral("partial");
}

QString QMRamDiskBackup::olderCopyExtension()
{
    return QStringLiteral("older");
}

bool QMRamDiskBackup::isSystemNameKeptByCleanUp(const QString &name)
{
    return QMFinderTools::isVolumeSystemHiddenFilename(name, 0) || QMFinderTools::isSystemFileNameInFolder(name, 1);
}

bool QMRamDiskBackup::isExcludedFromCopy(const QByteArray &dirPath, const QByteArray &name)
{
    // A Linux volume root holds only what its file system put there besides the user's
    // items: an empty lost+found. Every other name is the user's, whatever another
    // platform keeps under it, and a lost+found with something in it holds data too.
    if (name != "lost+found")
        return false;
    QList<QByteArray> names;
    struct stat st {};
    const QByteArray path = dirPath + '/' + name;
    return lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && QMFileCopier::listDirectory(path, &names, nullptr)
           && names.isEmpty();
}

QString QMRamDiskBackup::resolvedCopyPath(const QString &copyPath)
{
    // A copy's place may be a symbolic link to a folder on another disk (where the user
    // keeps it): the copies are made and switched at the link's target, beside it, so
    // that they stay on that disk and the link stays as it is. A link that leads nowhere
    // (that disk is not there) is a missing copy.
    QString path = copyPath;
    for (int depth = 0; depth < 16 && !path.isEmpty(); ++depth) {
        const QByteArray bytes = fsPath(path);
        struct stat st {};
        if (lstat(bytes.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t n = readlink(bytes.constData(), target.data(), size_t(target.size()));
        if (n <= 0 || n >= target.size())
            return path;
        target.truncate(n);
        const QString next = QFile::decodeName(target);
        path = QDir::cleanPath(next.startsWith(QLatin1Char('/')) ? next : QFileInfo(path).absolutePath() + QLatin1Char('/') + next);
    }
    return path;
}

QString QMRamDiskBackup::restoreSourceOf(const QString &copyPath, const QString &previousExt)
{
    const QString backupPath = resolvedCopyPath(copyPath);
    if (backupPath.isEmpty())
        return {};
    bool isDirectory = false;
    // A copy is only ever switched in complete and flushed: the current one if it is
    // there, else the previous one (a crash between the two renames of a switch). A
    // "partial" one is never a source.
    if (fileExistsAtPath(backupPath, &isDirectory) && isDirectory)
        return backupPath;
    const QString previous = backupPath + QLatin1Char('.') + previousExt;
    if (fileExistsAtPath(previous, &isDirectory) && isDirectory)
        return previous;
    return {};
}

bool QMRamDiskBackup::copyHasUnsettledFiles(const QString &copyPath)
{
    const QString source = restoreSourceOf(copyPath, QStringLiteral("previous"));
    bool unsettled = false;
    if (!source.isNull())
        copiedWhileMappedOf(fsPath(source), &unsettled);
    return unsettled;
}

void QMRamDiskBackup::clearCopyMarks(const QString &path)
{
    const QByteArray bytes = fsPath(path);
    lremovexattr(bytes.constData(), kCopiedWhileMapped);
    lremovexattr(bytes.constData(), kCopyBytes);
    QMFileCopier::clearSourceFolderRecords(bytes);
    struct stat st {};
    if (lstat(bytes.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_mtim.tv_sec == 0 && st.st_mtim.tv_nsec == 0)
        utimensat(AT_FDCWD, bytes.constData(), nullptr, AT_SYMLINK_NOFOLLOW); // now, rather than 1970
}

QMError::Ptr QMRamDiskBackup::backupRamDiskAtPath(const QString &path, const QString &backupPath,
                                                  const QString &previousExt)
{
    return backupRamDiskAtPath(path, backupPath, previousExt, nullptr);
}

QMError::Ptr QMRamDiskBackup::backupRamDiskAtPath(const QString &path, const QString &copyPath,
                                                  const QString &previousExt, QMFileCopier::Statistics *statistics,
                                                  bool keepsOlderCopy)
{
    const QString message = QStringLiteral("Can not create backup");
    const QString backupPath = resolvedCopyPath(copyPath);
    if (path.isEmpty() || backupPath.isEmpty())
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("path==nil || backupPath==nil")));

    // The new copy is written beside the old one and switched in only when it is complete
    // and on stable storage: at every moment the backup path, or during the switch its
    // previous name, holds a complete copy.
    const QByteArray volume = fsPath(path);
    const QString backupPathOld = backupPath + QLatin1Char('.') + previousExt;
    const QString partialPath = backupPath + QLatin1Char('.') + partialExtension();
    const QString olderPath = backupPath + QLatin1Char('.') + olderCopyExtension();
    const QByteArray partial = fsPath(partialPath);
    QString error;

    // The contents saved are those of this moment: a later change makes the next copy
    // look at the file again (see QMFileCopier::setReferenceTime()). What is mapped now is
    // copied whatever its times say; then the volume's pages are written back, so that
    // writes through a mapping from now on move the times of their files.
    struct timespec begun {};
    clock_gettime(CLOCK_REALTIME, &begun);
    QMFileCopier copier;
    copier.setSkipsVanishedItems(true);
    copier.setRecordsSourceFolders(true);
    copier.setMappedFiles(QMVolumeHolders::sharedWritableMappings(path));
    flushBlockDeviceVolume(volume);

    removeLeftoverDiscards(backupPath);
    // What an interrupted copy left is incomplete; the volume, mounted now, is newer.
    if (fileExistsAtPath(partialPath) && !removeItemAtPath(partialPath, &error))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("removeItemAtPath:")), error);

    // The last complete copy: the files that did not change since are linked from it,
    // not copied. Its top directory's time is when that copy began, and it records the
    // volume's top folder it was made from, as every folder below does.
    struct stat volumeTop {};
    const bool volumeKnown = stat(volume.constData(), &volumeTop) == 0;
    const QString referencePath = restoreSourceOf(backupPath, previousExt);
    QByteArray reference;
    QSet<QMFileCopier::FileKey> unsettledFiles;
    // The date of a copy and the files of it that were copied while mapped; false when it
    // is undated (it could not record them).
    auto datedCopy = [&unsettledFiles](const QByteArray &copy, struct timespec *begun) {
        struct stat st {};
        bool unsettled = false;
        const QList<quint64> mappedThen = copiedWhileMappedOf(copy, &unsettled);
        if (lstat(copy.constData(), &st) != 0 || !S_ISDIR(st.st_mode)
            || (st.st_mtim.tv_sec == 0 && st.st_mtim.tv_nsec == 0))
            return false;
        *begun = st.st_mtim;
        for (const quint64 inode : mappedThen)
            unsettledFiles.insert(QMFileCopier::FileKey(quint64(st.st_dev), inode));
        return true;
    };
    struct timespec referenceBegun {};
    bool haveReference = false;
    if (!referencePath.isNull()) {
        reference = fsPath(referencePath);
        haveReference = volumeKnown && QMFileCopier::folderMadeFrom(-1, reference, volumeTop)
                        && datedCopy(reference, &referenceBegun);
        if (haveReference)
            copier.setReferenceTime(referenceBegun);
    }
    // The copy before the last one, kept for this: brought up to date in place, it costs
    // what changed since it was made, where a copy made anew costs a link per unchanged
    // file. It takes the in-progress name first, so that it never counts as complete
    // until it is again; what is left of it after a failure is removed.
    bool updating = false;
    if (fileExistsAtPath(olderPath)) {
        struct timespec olderBegun {};
        QString olderError;
        if (keepsOlderCopy && haveReference && QMFileCopier::folderMadeFrom(-1, fsPath(olderPath), volumeTop)
            && datedCopy(fsPath(olderPath), &olderBegun)
            && isEarlierTime(olderBegun, referenceBegun) && moveItemAtPath(olderPath, partialPath, &olderError)) {
            updating = true;
            copier.setOlderCopyTime(olderBegun);
        } else if (!discardItemAtPath(olderPath, backupPath, &olderError)) {
            QM_LogErrorMethod(this,
                              QStringLiteral("removeItemAtPath==NO olderPath:%1 error:%2").arg(olderPath, olderError));
        }
    }
    copier.setUnsettledReferenceFiles(unsettledFiles);

    QList<QByteArray> names;
    int errnum = 0;
    if (!QMFileCopier::listDirectory(volume, &names, &errnum))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("contentsOfDirectoryAtPath:")),
                                         errnoText(errnum, volume));

    const QString parent = QFileInfo(backupPath).absolutePath();
    if (!createDirectoryAtPath(parent, &error) || (!updating && mkdir(partial.constData(), 0777) != 0)) {
        if (error.isEmpty())
            error = errnoText(errno, partial);
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("createDirectoryAtPath:")),
                                         error);
    }
    auto dropPartial = [&] {
        QString dropError;
        if (!removeItemAtPath(partialPath, &dropError))
            QM_LogErrorMethod(this, QStringLiteral("removeItemAtPath==NO partialPath:%1 error:%2").arg(partialPath, dropError));
    };
    // Opened before anything is written, so that the flush reports every write-back error.
    const int partialFd = open(partial.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (partialFd < 0) {
        error = errnoText(errno, partial);
        dropPartial();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("createDirectoryAtPath:")),
                                         error);
    }

    QStringList notCopied;
    QSet<QByteArray> present;
    for (const QByteArray &name : std::as_const(names)) {
        if (isExcludedFromCopy(volume, name))
            continue;
        const QByteArray filePath = volume + '/' + name;
        const QByteArray fileBckPath = partial + '/' + name;
        const int before = copier.failureCount();
        bool there = true;
        const bool copied =
            copier.copyItem(filePath, fileBckPath, reference.isEmpty() ? QByteArray() : reference + '/' + name, &there);
        if (there)
            present.insert(name);
        if (!copied) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO filePath:%1 fileBckPath:%2 error:%3")
                                        .arg(QMFileCopier::displayPath(filePath), QMFileCopier::displayPath(fileBckPath),
                                             QMFileCopier::describe(firstFailureSince(copier, before))));
            notCopied << QMFileCopier::displayPath(name);
        }
    }
    if (copier.failed()) {
        close(partialFd);
        dropPartial();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("copyItemAtPath==NO")),
                                         QStringLiteral("Not copied: %1; %2").arg(notCopied.join(QStringLiteral(", ")),
                                                                                copier.summary()));
    }
    if (updating) {
        // What the volume no longer holds at its top, and the older copy's own marks.
        const QMFileRemover::Result removed = QMFileRemover::removeContents(
            partialFd, partialPath, [&present](const QByteArray &name) { return present.contains(name); });
        if (!removed.ok()) {
            close(partialFd);
            dropPartial();
            return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("removeItemAtPath:")),
                                             removed.summary());
        }
        fremovexattr(partialFd, kCopiedWhileMapped);
    }

    // The files copied while mapped, for the next copy; without room for their list, no
    // time either: the next copy then takes nothing from this one.
    bool dated = true;
    const QList<quint64> &mappedCopies = copier.copiedWhileMapped();
    if (!mappedCopies.isEmpty()
        && fsetxattr(partialFd, kCopiedWhileMapped, mappedCopies.constData(), size_t(mappedCopies.size()) * sizeof(quint64),
                     0) != 0) {
        QM_LogWarningMethod(this, QStringLiteral("fsetxattr==NO partialPath:%1 error:%2: the next save copies everything")
                                      .arg(partialPath, QString::fromLocal8Bit(strerror(errno))));
        dated = false;
    }
    if (volumeKnown)
        QMFileCopier::recordSourceFolder(partialFd, volumeTop);
    const QMFileCopier::Statistics &done = copier.statistics();
    const quint64 copyBytes = done.bytesCopied + done.bytesLinked;
    if (keepsOlderCopy) // without it, the copy is never kept as an older one
        fsetxattr(partialFd, kCopyBytes, &copyBytes, sizeof copyBytes, 0);
    // Dated when it began, for the next copy; last, since filling it changed its time.
    const struct timespec undated = {0, 0};
    const struct timespec times[2] = {dated ? begun : undated, dated ? begun : undated};
    if (futimens(partialFd, times) != 0) {
        error = errnoText(errno, partial);
        close(partialFd);
        dropPartial();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("futimens==NO")), error);
    }
    const bool flushed = QMFileCopier::syncFileSystem(partialFd, &errnum);
    close(partialFd);
    if (!flushed) {
        error = errnoText(errnum, partial);
        dropPartial();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("syncfs==NO")), error);
    }

    // The switch, by the previous-backup rule: the old copy goes to the previous name,
    // the new one takes its place, and the old one goes when the new one is in.
    if (fileExistsAtPath(backupPath)) {
        if (fileExistsAtPath(backupPathOld) && !removeItemAtPath(backupPathOld, &error)) {
            dropPartial();
            return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("removeItemAtPath:")), error);
        }
        if (!moveItemAtPath(backupPath, backupPathOld, &error)) {
            dropPartial();
            return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("moveItemAtPath:")), error);
        }
    }
    if (!moveItemAtPath(partialPath, backupPath, &error)) {
        QString undoError;
        if (fileExistsAtPath(backupPathOld) && !moveItemAtPath(backupPathOld, backupPath, &undoError))
            QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO backupPathOld:%1 error:%2")
                                        .arg(backupPathOld, undoError));
        dropPartial();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("moveItemAtPath:")), error);
    }
    // The renames themselves must reach the disk before the caller lets the volume go.
    if (!QMFileCopier::syncDirectory(fsPath(parent), &errnum))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("fsync==NO")),
                                         errnoText(errnum, fsPath(parent)));

    // The replaced copy is kept for the next save to bring up to date when it shares most
    // of its files with the new one; else it goes.
    if (fileExistsAtPath(backupPathOld)
        && !(keepsOlderCopy && olderCopyWorthKeeping(fsPath(backupPathOld), done) && moveItemAtPath(backupPathOld, olderPath, &error))
        && !discardItemAtPath(backupPathOld, backupPath, &error))
        QM_LogErrorMethod(this,
                          QStringLiteral("removeItemAtPath==NO backupPathOld:%1 error:%2").arg(backupPathOld, error));
    QM_LogInfoMethod(this, QStringLiteral("Saved %1 to %2: %3 files copied (%4), %5 unchanged files kept, %6 gone "
                                          "during the save")
                               .arg(path, backupPath)
                               .arg(done.filesCopied)
                               .arg(QMFunctions::stringFromBytesWithBin1024Style(qint64(done.bytesCopied)))
                               .arg(done.filesLinked)
                               .arg(done.itemsGone));
    if (statistics)
        *statistics = done;
    return nullptr;
}

QMError::Ptr QMRamDiskBackup::restoreRamDiskAtPath(const QString &path, const QString &backupDirPath)
{
    return restoreRamDiskAtPath(path, backupDirPath, nullptr);
}

QMError::Ptr QMRamDiskBackup::restoreRamDiskAtPath(const QString &path, const QString &backupDirPath,
                                                   QString *source)
{
    const QString message = QStringLiteral("Can not restore backup");
    if (source)
        *source = QString();
    if (path.isEmpty() || backupDirPath.isEmpty())
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("path==nil || backupDirPath==nil")));
    // No copy yet (the first creation): nothing to restore.
    const QString from = restoreSourceOf(backupDirPath, QStringLiteral("previous"));
    if (from.isNull())
        return nullptr;
    if (source)
        *source = from;
    if (from != resolvedCopyPath(backupDirPath))
        QM_LogWarningMethod(this, QStringLiteral("Restoring the previous copy %1: the last one was not completed").arg(from));

    const QByteArray fromBytes = fsPath(from), volume = fsPath(path);
    QList<QByteArray> names;
    int errnum = 0;
    if (!QMFileCopier::listDirectory(fromBytes, &names, &errnum))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("contentsOfDirectoryAtPath:")),
                                         errnoText(errnum, fromBytes));
    QMFileCopier copier;
    copier.setFlushesWhenFull(true);
    QStringList notCopied;
    for (const QByteArray &name : std::as_const(names)) {
        if (isExcludedFromCopy(fromBytes, name))
            continue;
        const int before = copier.failureCount();
        if (!copier.copyItem(fromBytes + '/' + name, volume + '/' + name)) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO path:%1 backupDirPath:%2 error:%3")
                                        .arg(path, from, QMFileCopier::describe(firstFailureSince(copier, before))));
            notCopied << QMFileCopier::displayPath(name);
        }
    }
    if (copier.failed())
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("copyItemAtPath==NO")),
                                         QStringLiteral("Not copied: %1; %2").arg(notCopied.join(QStringLiteral(", ")),
                                                                                copier.summary()));
    return nullptr;
}

QMError::Ptr QMRamDiskBackup::checkRoomForCopy(const QString &source, quint64 ramDiskSize, const QString &what,
                                                QMDirectoryUsage *measured)
{
    QMDirectoryUsage usage;
    QString error;
    if (!QMGetDirectoryUsage(fsPath(source), &usage, &error))
        return QMError::errorWithMessage(QStringLiteral("Unable to measure the %1 of the RamDisk (%2)").arg(what, source),
                                         QM_MethodReason(this, QStringLiteral("QMGetDirectoryUsage==NO")), error);
    if (measured)
        *measured = usage;
    return checkRoom(usage, ramDiskSize, what, source);
}

namespace {

QMError::Ptr tooSmall(const QString &what, quint64 needed, quint64 ramDiskSize, quint64 holds, const QString &source)
{
    return QMError::errorWithMessage(
        QStringLiteral("The RamDisk is too small for its %1: %2 are needed, a RamDisk of %3 holds %4")
            .arg(what, QMFunctions::stringFromBytesWithBin1024Style(qint64(needed)),
                 QMFunctions::stringFromBytesWithBin1024Style(qint64(ramDiskSize)),
                 QMFunctions::stringFromBytesWithBin1024Style(qint64(holds))),
        qm_detail::methodLine("checkRoom", __LINE__, qm_detail::receiverDescription(QMRamDiskBackup::sharedInstance()),
                              QStringLiteral("neededBytes>usableBytes")),
        source);
}

QMError::Ptr tooFewItems(const QString &what, quint64 items, quint64 ramDiskSize, quint64 room, const QString &source)
{
    return QMError::errorWithMessage(
        QStringLiteral("The RamDisk is too small for its %1: it holds %2 items, a RamDisk of %3 has room for %4")
            .arg(what)
            .arg(items)
            .arg(QMFunctions::stringFromBytesWithBin1024Style(qint64(ramDiskSize)))
            .arg(room),
        qm_detail::methodLine("checkRoom", __LINE__, qm_detail::receiverDescription(QMRamDiskBackup::sharedInstance()),
                              QStringLiteral("inodes>freeInodes")),
        source);
}

} // namespace

QMError::Ptr QMRamDiskBackup::checkRoom(const QMDirectoryUsage &usage, quint64 ramDiskSize, const QString &what,
                                        const QString &source)
{
    // Before anything is attached, only what can never fit: more data than the size, even
    // where folders take nothing, or more items than the format gives such a tree. What
    // the new volume really holds is known once it is mounted (checkRoomOnVolume()).
    const quint64 needed = QMBytesNeededOnVolume(usage, false);
    if (needed > ramDiskSize)
        return tooSmall(what, needed, ramDiskSize, ramDiskSize, source);
    const quint64 inodeCount = QMRamDiskDevice::inodeCountForItems(ramDiskSize, usage.inodes);
    const quint64 inodes = QMFreeInodesForSize(ramDiskSize, inodeCount);
    if (usage.inodes > inodes)
        return tooFewItems(what, usage.inodes, ramDiskSize, inodes, source);
    return nullptr;
}

QMError::Ptr QMRamDiskBackup::checkRoomOnVolume(const QMDirectoryUsage &usage, const QString &volumePath,
                                                quint64 ramDiskSize, const QString &what, const QString &source)
{
    // The same rule on both sides: what the tree takes on this file system, against what
    // this fresh volume says it has free.
    const QByteArray volume = fsPath(volumePath);
    struct statfs fs {};
    struct statvfs sv {};
    if (statfs(volume.constData(), &fs) != 0 || statvfs(volume.constData(), &sv) != 0)
        return QMError::errorWithMessage(QStringLiteral("Unable to measure the new RamDisk (%1)").arg(volumePath),
                                         QM_MethodReason(this, QStringLiteral("statvfs==NO")),
                                         errnoText(errno, volume));
    const quint64 needed = QMBytesNeededOnVolume(usage, quint64(fs.f_type) != TMPFS_MAGIC);
    const quint64 free = quint64(sv.f_bavail) * sv.f_frsize;
    if (needed > free)
        return tooSmall(what, needed, ramDiskSize, free, source);
    if (usage.inodes > quint64(sv.f_favail))
        return tooFewItems(what, usage.inodes, ramDiskSize, quint64(sv.f_favail), source);
    return nullptr;
}

// ---- File operations ----

bool QMRamDiskBackup::contentsOfDirectoryAtPath(const QString &path, QStringList *names, QString *error)
{
    const QByteArray p = fsPath(path);
    DIR *dir = path.isEmpty() ? nullptr : opendir(p.constData());
    if (!dir) {
        if (error)
            *error = errnoText(path.isEmpty() ? ENOENT : errno, p);
        return false;
    }
    QStringList list;
    while (const struct dirent *entry = QMNextDirEntry(dir))
        list << QFile::decodeName(entry->d_name);
    const int readErrno = errno;
    closedir(dir);
    if (readErrno != 0) {
        if (error)
            *error = errnoText(readErrno, p);
        return false;
    }
    if (names)
        *names = list;
    return true;
}

bool QMRamDiskBackup::fileExistsAtPath(const QString &path, bool *isDirectory)
{
    struct stat st;
    if (path.isEmpty() || lstat(fsPath(path).constData(), &st) != 0)
        return false;
    if (isDirectory)
        *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

namespace {

const char kDiscardedInfix[] = ".discarded-";

// The discards of this process still being removed, so that a later save's clean-up does
// not race the thread that removes them. Never destroyed: a removal thread may still run
// while the process exits.
struct Discards
{
    std::mutex mutex;
    std::condition_variable done;
    std::set<QByteArray> removing;
};

Discards &discards()
{
    static Discards *const state = new Discards;
    return *state;
}

} // namespace

bool QMRamDiskBackup::discardItemAtPath(const QString &path, const QString &copyPath, QString *error)
{
    static std::atomic<quint64> counter{0};
    const QString discarded = copyPath + QLatin1String(kDiscardedInfix)
                              + QStringLiteral("%1-%2").arg(getpid()).arg(counter.fetch_add(1));
    if (!moveItemAtPath(path, discarded, error))
        return false;
    const QByteArray target = fsPath(discarded);
    {
        std::lock_guard lock(discards().mutex);
        discards().removing.insert(target);
    }
    auto remove = [target] {
        QString why;
        if (!removeItem(target, &why))
            QM_LogErrorMethod("QMRamDiskBackup", QStringLiteral("removeItemAtPath==NO discarded:%1 error:%2").arg(QFile::decodeName(target), why));
        std::lock_guard lock(discards().mutex);
        discards().removing.erase(target);
        discards().done.notify_all();
    };
    try {
        std::thread(remove).detach();
    } catch (const std::system_error &) {
        remove();
    }
    return true;
}

void QMRamDiskBackup::removeLeftoverDiscards(const QString &copyPath)
{
    if (copyPath.isEmpty())
        return;
    const QByteArray copy = fsPath(copyPath);
    const qsizetype slash = copy.lastIndexOf('/');
    const QByteArray parent = slash > 0 ? copy.left(slash) : QByteArray("/");
    const QByteArray prefix = copy.mid(slash + 1) + kDiscardedInfix;
    DIR *dir = opendir(parent.constData());
    if (!dir)
        return;
    std::vector<QByteArray> leftovers;
    while (const struct dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, prefix.constData(), size_t(prefix.size())) == 0)
            leftovers.push_back(parent + '/' + entry->d_name);
    }
    closedir(dir);
    for (const QByteArray &leftover : leftovers) {
        {
            std::lock_guard lock(discards().mutex);
            if (discards().removing.count(leftover))
                continue;
        }
        QString why;
        if (!removeItem(leftover, &why))
            QM_LogErrorMethod("QMRamDiskBackup", QStringLiteral("removeItemAtPath==NO discarded:%1 error:%2").arg(QFile::decodeName(leftover), why));
    }
}

void QMRamDiskBackup::waitForDiscards()
{
    std::unique_lock lock(discards().mutex);
    discards().done.wait(lock, [] { return discards().removing.empty(); });
}

bool QMRamDiskBackup::removeItemAtPath(const QString &path, QString *error)
{
    QString firstError;
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("no path");
        return false;
    }
    if (removeItem(fsPath(path), &firstError))
        return true;
    if (error)
        *error = firstError;
    return false;
}

bool QMRamDiskBackup::moveItemAtPath(const QString &path, const QString &toPath, QString *error)
{
    const QByteArray from = fsPath(path), to = fsPath(toPath);
    // RENAME_NOREPLACE: a move never overwrites what is already at the destination.
    if (!path.isEmpty() && !toPath.isEmpty()
        && renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (error)
        *error = errnoText(errno, from);
    return false;
}

bool QMRamDiskBackup::createDirectoryAtPath(const QString &path, QString *error)
{
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("no path");
        return false;
    }
    QByteArray p = fsPath(path);
    // Create every missing parent, like mkdir -p.
    for (qsizetype i = 1; i <= p.size(); ++i) {
        if (i != p.size() && p.at(i) != '/')
            continue;
        const QByteArray part = p.left(i);
        if (mkdir(part.constData(), 0777) != 0 && errno != EEXIST) {
            if (error)
                *error = errnoText(errno, part);
            return false;
        }
    }
    struct stat st;
    if (stat(p.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error)
            *error = errnoText(ENOTDIR, p);
        return false;
    }
    return true;
}

bool QMRamDiskBackup::copyItemAtPath(const QString &path, const QString &toPath, QString *error)
{
    QMFileCopier copier;
    if (copier.copyItem(fsPath(path), fsPath(toPath)))
        return true;
    if (error)
        *error = copier.summary();
    return false;
}
