#include "QMRamDiskBackup.h"

#include "QMFileCopier.h"
#include "QMFileRemover.h"
#include "QMFinderTools.h"
#include "QMFunctions.h"
#include "QMLog.h"
#include "QMRamDiskDevice.h"
#include "QMVolumeCapacity.h"

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
#include <sys/stat.h>
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

QString QMRamDiskBackup::restoreSourceOf(const QString &backupPath, const QString &previousExt)
{
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

QMError::Ptr QMRamDiskBackup::backupRamDiskAtPath(const QString &path, const QString &backupPath,
                                                  const QString &previousExt)
{
    return backupRamDiskAtPath(path, backupPath, previousExt, nullptr);
}

QMError::Ptr QMRamDiskBackup::backupRamDiskAtPath(const QString &path, const QString &backupPath,
                                                  const QString &previousExt, QMFileCopier::Statistics *statistics)
{
    const QString message = QStringLiteral("Can not create backup");
    if (path.isEmpty() || backupPath.isEmpty())
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("path==nil || backupPath==nil")));

    // The new copy is written beside the old one and switched in only when it is complete
    // and on stable storage: at every moment the backup path, or during the switch its
    // previous name, holds a complete copy.
    const QByteArray volume = fsPath(path);
    const QString backupPathOld = backupPath + QLatin1Char('.') + previousExt;
    const QString partialPath = backupPath + QLatin1Char('.') + partialExtension();
    const QByteArray partial = fsPath(partialPath);
    QString error;

    // The contents saved are those of this moment: a later change makes the next copy
    // look at the file again (see QMFileCopier::setReferenceTime()).
    struct timespec begun {};
    clock_gettime(CLOCK_REALTIME, &begun);

    removeLeftoverDiscards(backupPath);
    // What an interrupted copy left is incomplete; the volume, mounted now, is newer.
    if (fileExistsAtPath(partialPath) && !removeItemAtPath(partialPath, &error))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("removeItemAtPath:")), error);

    // The last complete copy: the files that did not change since are linked from it,
    // not copied. Its top directory's time is when that copy began.
    QMFileCopier copier;
    const QString referencePath = restoreSourceOf(backupPath, previousExt);
    QByteArray reference;
    if (!referencePath.isNull()) {
        struct stat st {};
        reference = fsPath(referencePath);
        if (lstat(reference.constData(), &st) == 0)
            copier.setReferenceTime(st.st_mtim);
    }

    QList<QByteArray> names;
    int errnum = 0;
    if (!QMFileCopier::listDirectory(volume, &names, &errnum))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("contentsOfDirectoryAtPath:")),
                                         errnoText(errnum, volume));

    const QString parent = QFileInfo(backupPath).absolutePath();
    if (!createDirectoryAtPath(parent, &error) || mkdir(partial.constData(), 0777) != 0) {
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
    for (const QByteArray &name : std::as_const(names)) {
        if (isExcludedFromCopy(volume, name))
            continue;
        const QByteArray filePath = volume + '/' + name;
        const QByteArray fileBckPath = partial + '/' + name;
        const int before = copier.failureCount();
        if (!copier.copyItem(filePath, fileBckPath, reference.isEmpty() ? QByteArray() : reference + '/' + name)) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO filePath:%1 fileBckPath:%2 error:%3")
                                        .arg(QMFileCopier::displayPath(filePath), QMFileCopier::displayPath(fileBckPath),
                                             QMFileCopier::describe(copier.failures().value(before))));
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

    // Dated when it began, for the next copy; last, since filling it changed its time.
    const struct timespec times[2] = {begun, begun};
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

    if (fileExistsAtPath(backupPathOld) && !discardItemAtPath(backupPathOld, backupPath, &error))
        QM_LogErrorMethod(this,
                          QStringLiteral("removeItemAtPath==NO backupPathOld:%1 error:%2").arg(backupPathOld, error));
    const QMFileCopier::Statistics &done = copier.statistics();
    QM_LogInfoMethod(this, QStringLiteral("Saved %1 to %2: %3 files copied (%4), %5 unchanged files kept")
                               .arg(path, backupPath)
                               .arg(done.filesCopied)
                               .arg(QMFunctions::stringFromBytesWithBin1024Style(qint64(done.bytesCopied)))
                               .arg(done.filesLinked));
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
    if (from != backupDirPath)
        QM_LogWarningMethod(this, QStringLiteral("Restoring the previous copy %1: the last one was not completed").arg(from));

    const QByteArray fromBytes = fsPath(from), volume = fsPath(path);
    QList<QByteArray> names;
    int errnum = 0;
    if (!QMFileCopier::listDirectory(fromBytes, &names, &errnum))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("contentsOfDirectoryAtPath:")),
                                         errnoText(errnum, fromBytes));
    QMFileCopier copier;
    QStringList notCopied;
    for (const QByteArray &name : std::as_const(names)) {
        if (isExcludedFromCopy(fromBytes, name))
            continue;
        const int before = copier.failureCount();
        if (!copier.copyItem(fromBytes + '/' + name, volume + '/' + name)) {
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO path:%1 backupDirPath:%2 error:%3")
                                        .arg(path, from, QMFileCopier::describe(copier.failures().value(before))));
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
                                                quint64 *items)
{
    QMDirectoryUsage usage;
    QString error;
    if (!QMGetDirectoryUsage(fsPath(source), &usage, &error))
        return QMError::errorWithMessage(QStringLiteral("Unable to measure the %1 of the RamDisk (%2)").arg(what, source),
                                         QM_MethodReason(this, QStringLiteral("QMGetDirectoryUsage==NO")), error);
    if (items)
        *items = usage.inodes;
    return checkRoom(usage, ramDiskSize, what, source);
}

QMError::Ptr QMRamDiskBackup::checkRoom(const QMDirectoryUsage &usage, quint64 ramDiskSize, const QString &what,
                                        const QString &source)
{
    // The creation formats with room for the tree's items (and the inode tables that takes).
    const quint64 inodeCount = QMRamDiskDevice::inodeCountForItems(ramDiskSize, usage.inodes);
    const quint64 usable = QMUsableBytesForSize(ramDiskSize, inodeCount);
    if (usage.allocatedBytes > usable)
        return QMError::errorWithMessage(
            QStringLiteral("The RamDisk is too small for its %1: %2 are needed, a RamDisk of %3 holds %4")
                .arg(what, QMFunctions::stringFromBytesWithBin1024Style(qint64(usage.allocatedBytes)),
                     QMFunctions::stringFromBytesWithBin1024Style(qint64(ramDiskSize)),
                     QMFunctions::stringFromBytesWithBin1024Style(qint64(usable))),
            QM_MethodReason(sharedInstance(), QStringLiteral("allocatedBytes>usableBytes")), source);
    const quint64 inodes = QMFreeInodesForSize(ramDiskSize, inodeCount);
    if (usage.inodes > inodes)
        return QMError::errorWithMessage(
            QStringLiteral("The RamDisk is too small for its %1: it holds %2 items, a RamDisk of %3 has room for %4")
                .arg(what)
                .arg(usage.inodes)
                .arg(QMFunctions::stringFromBytesWithBin1024Style(qint64(ramDiskSize)))
                .arg(inodes),
            QM_MethodReason(sharedInstance(), QStringLiteral("inodes>freeInodes")), source);
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
    errno = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, ".."))
            list << QFile::decodeName(entry->d_name);
        errno = 0;
    }
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
// not race the thread that removes them.
std::mutex g_discardMutex;
std::condition_variable g_discardDone;
std::set<QByteArray> g_discarding;

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
        std::lock_guard lock(g_discardMutex);
        g_discarding.insert(target);
    }
    auto remove = [target] {
        QString why;
        if (!removeItem(target, &why))
            QM_LogErrorMethod("QMRamDiskBackup", QStringLiteral("removeItemAtPath==NO discarded:%1 error:%2").arg(QFile::decodeName(target), why));
        std::lock_guard lock(g_discardMutex);
        g_discarding.erase(target);
        g_discardDone.notify_all();
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
            std::lock_guard lock(g_discardMutex);
            if (g_discarding.count(leftover))
                continue;
        }
        QString why;
        if (!removeItem(leftover, &why))
            QM_LogErrorMethod("QMRamDiskBackup", QStringLiteral("removeItemAtPath==NO discarded:%1 error:%2").arg(QFile::decodeName(leftover), why));
    }
}

void QMRamDiskBackup::waitForDiscards()
{
    std::unique_lock lock(g_discardMutex);
    g_discardDone.wait(lock, [] { return g_discarding.empty(); });
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
