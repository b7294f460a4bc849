#include "QMRamDiskBackup.h"

#include "QMFinderTools.h"
#include "QMLog.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
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

// One copy: the first failure is kept for the report, the others only counted. After each
// failure the backup object, as the copier's delegate, says whether to go on.
struct CopyReport
{
    QString firstError;
    int failures = 0;
    bool stop = false;

    void fail(int errnum, const QByteArray &path)
    {
        const QString text = errnoText(errnum, path);
        if (failures++ == 0)
            firstError = text;
        const QString item = QFile::decodeName(path);
        stop = !QMRamDiskBackup::sharedInstance()->fileManager(QMRamDiskBackup::sharedInstance(), text, item, item);
    }
};

// Copies the bytes of an open file: in-kernel where the file systems allow it.
bool copyData(int in, int out, off_t size, int *errnum)
{
    off_t left = size;
    bool tryCopyRange = true;
    bool trySendfile = true;
    while (left > 0) {
        const size_t chunk = size_t(std::min<off_t>(left, off_t(1) << 30));
        ssize_t n = -1;
        if (tryCopyRange) {
            n = copy_file_range(in, nullptr, out, nullptr, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP
                          || errno == EBADF || errno == EPERM)) {
                tryCopyRange = false;
                continue;
            }
        } else if (trySendfile) {
            n = sendfile(out, in, nullptr, chunk);
            if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
                trySendfile = false;
                continue;
            }
        } else {
            static thread_local std::vector<char> buffer(size_t(1) << 20);
            n = read(in, buffer.data(), std::min(chunk, buffer.size()));
            if (n > 0) {
                ssize_t written = 0;
                while (written < n) {
                    const ssize_t w = write(out, buffer.data() + written, size_t(n - written));
                    if (w < 0) {
                        if (errno == EINTR)
                            continue;
                        *errnum = errno;
                        return false;
                    }
                    written += w;
                }
            }
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *errnum = errno;
            return false;
        }
        if (n == 0)
            break; // the file shrank while being copied
        left -= n;
    }
    // A file that grew while being copied: take the rest too.
    if (left == 0) {
        static thread_local std::vector<char> tail(size_t(1) << 16);
        for (;;) {
            const ssize_t n = read(in, tail.data(), tail.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *errnum = errno;
                return false;
            }
            if (n == 0)
                break;
            if (write(out, tail.data(), size_t(n)) != n) {
                *errnum = errno ? errno : EIO;
                return false;
            }
        }
    }
    return true;
}

// Extended attributes travel with the item; a name the destination cannot hold (another
// file system's security labels, say) is not worth failing the copy for.
void copyXattrs(int in, int out)
{
    ssize_t size = flistxattr(in, nullptr, 0);
    if (size <= 0)
        return;
    std::vector<char> names(size_t(size) + 1);
    size = flistxattr(in, names.data(), names.size());
    if (size <= 0)
        return;
    std::vector<char> value;
    for (ssize_t i = 0; i < size;) {
        const char *name = names.data() + i;
        i += ssize_t(strlen(name)) + 1;
        ssize_t vsize = fgetxattr(in, name, nullptr, 0);
        if (vsize < 0)
            continue;
        value.resize(size_t(vsize) + 1);
        vsize = fgetxattr(in, name, value.data(), value.size());
        if (vsize < 0)
            continue;
        fsetxattr(out, name, value.data(), size_t(vsize), 0);
    }
}

void copyOwner(int out, const struct stat &st)
{
    if (st.st_uid != geteuid() || st.st_gid != getegid()) {
        // Only root may give a file away; a user's copy stays the user's, as with cp -a.
        if (fchown(out, st.st_uid, st.st_gid) != 0 && fchown(out, uid_t(-1), st.st_gid) != 0) {
        }
    }
}

void copyItem(const QByteArray &src, const QByteArray &dst, CopyReport *report);

void copyRegularFile(const QByteArray &src, const QByteArray &dst, const struct stat &st, CopyReport *report)
{
    const int in = open(src.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        report->fail(errno, src);
        return;
    }
    const int out = open(dst.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        report->fail(errno, dst);
        close(in);
        return;
    }
    int errnum = 0;
    bool ok = copyData(in, out, st.st_size, &errnum);
    if (!ok)
        report->fail(errnum, dst);
    if (ok) {
        copyXattrs(in, out);
        copyOwner(out, st);
        if (fchmod(out, st.st_mode & 07777) != 0) {
            report->fail(errno, dst);
            ok = false;
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (ok && futimens(out, times) != 0) {
            report->fail(errno, dst);
            ok = false;
        }
    }
    close(in);
    if (close(out) != 0 && ok)
        report->fail(errno, dst);
    if (!ok)
        unlink(dst.constData()); // never leave a truncated copy that looks whole
}

void copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st, CopyReport *report)
{
    if (mkdir(dst.constData(), 0700) != 0) {
        report->fail(errno, dst);
        return;
    }
    DIR *dir = opendir(src.constData());
    if (!dir) {
        report->fail(errno, src);
    } else {
        QByteArray childSrc = src, childDst = dst;
        if (!childSrc.endsWith('/'))
            childSrc += '/';
        childDst += '/';
        const qsizetype srcLen = childSrc.size(), dstLen = childDst.size();
        errno = 0;
        while (struct dirent *entry = readdir(dir)) {
            if (report->stop)
                break;
            const char *name = entry->d_name;
            if (!strcmp(name, ".") || !strcmp(name, ".."))
                continue;
            childSrc.truncate(srcLen);
            childDst.truncate(dstLen);
            childSrc += name;
            childDst += name;
            copyItem(childSrc, childDst, report);
            errno = 0;
        }
        if (errno != 0)
            report->fail(errno, src);
        const int fd = dirfd(dir);
        const int out = open(dst.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (out >= 0) {
            copyXattrs(fd, out);
            close(out);
        }
        closedir(dir);
    }
    if (lchown(dst.constData(), st.st_uid, st.st_gid) != 0) {
        // as for files: ownership is kept where permitted
    }
    if (chmod(dst.constData(), st.st_mode & 07777) != 0)
        report->fail(errno, dst);
    // Last, since filling the directory changed its times.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (utimensat(AT_FDCWD, dst.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
        report->fail(errno, dst);
}

void copyItem(const QByteArray &src, const QByteArray &dst, CopyReport *report)
{
    struct stat st;
    if (lstat(src.constData(), &st) != 0) {
        report->fail(errno, src);
        return;
    }
    if (S_ISREG(st.st_mode)) {
        copyRegularFile(src, dst, st, report);
    } else if (S_ISDIR(st.st_mode)) {
        copyDirectory(src, dst, st, report);
    } else if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = readlink(src.constData(), target.data(), target.size() - 1);
        if (n < 0) {
            report->fail(errno, src);
            return;
        }
        target[size_t(n)] = '\0';
        if (symlink(target.data(), dst.constData()) != 0) {
            report->fail(errno, dst);
            return;
        }
        if (lchown(dst.constData(), st.st_uid, st.st_gid) != 0) {
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        utimensat(AT_FDCWD, dst.constData(), times, AT_SYMLINK_NOFOLLOW);
    } else {
        // Pipes, sockets and device nodes are recreated, not read.
        if (mknod(dst.constData(), st.st_mode, st.st_rdev) != 0) {
            report->fail(errno, dst);
            return;
        }
        if (lchown(dst.constData(), st.st_uid, st.st_gid) != 0) {
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        utimensat(AT_FDCWD, dst.constData(), times, AT_SYMLINK_NOFOLLOW);
    }
}

bool removeItem(const QByteArray &path, QString *firstError)
{
    struct stat st;
    if (lstat(path.constData(), &st) != 0) {
        if (firstError && firstError->isNull())
            *firstError = errnoText(errno, path);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path.constData()) != 0) {
            if (firstError && firstError->isNull())
                *firstError = errnoText(errno, path);
            return false;
        }
        return true;
    }
    bool ok = true;
    // A read-only folder of the user's own must still be emptied.
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        chmod(path.constData(), (st.st_mode | S_IRWXU) & 07777);
    DIR *dir = opendir(path.constData());
    if (!dir) {
        if (firstError && firstError->isNull())
            *firstError = errnoText(errno, path);
        return false;
    }
    QByteArray child = path;
    if (!child.endsWith('/'))
        child += '/';
    const qsizetype len = child.size();
    while (struct dirent *entry = readdir(dir)) {
        if (!strcmp(entry->d_name, ".") || !strcmp(entry->d_name, ".."))
            continue;
        child.truncate(len);
        child += entry->d_name;
        ok = removeItem(child, firstError) && ok;
    }
    closedir(dir);
    if (rmdir(path.constData()) != 0) {
        if (firstError && firstError->isNull())
            *firstError = errnoText(errno, path);
        return false;
    }
    return ok;
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

bool QMRamDiskBackup::isExcludedFromCopy(const QString &name)
{
    return QMFinderTools::isVolumeSystemHiddenFilename(name, 0) || QMFinderTools::isSystemFileNameInFolder(name, 1);
}

QMError::Ptr QMRamDiskBackup::backupRamDiskAtPath(const QString &path, const QString &backupPath,
                                                  const QString &previousExt)
{
    const QString message = QStringLiteral("Can not create backup");
    if (path.isEmpty() || backupPath.isEmpty())
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("path==nil || backupPath==nil")));

    const QString backupPathOld = backupPath + QLatin1Char('.') + previousExt;
    QString error;
    if (fileExistsAtPath(backupPathOld) && !removeItemAtPath(backupPathOld, &error))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("removeItemAtPath:")), error);
    const bool hadBackup = fileExistsAtPath(backupPath);
    if (hadBackup && !moveItemAtPath(backupPath, backupPathOld, &error))
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("moveItemAtPath:")), error);

    // Puts the old backup back in place when the new one cannot even be started.
    auto undoMove = [&] {
        if (!hadBackup)
            return;
        QString undoError;
        if (fileExistsAtPath(backupPath))
            removeItemAtPath(backupPath, &undoError);
        if (!moveItemAtPath(backupPathOld, backupPath, &undoError))
            QM_LogErrorMethod(this, QStringLiteral("moveItemAtPath==NO backupPathOld:%1 error:%2")
                                        .arg(backupPathOld, undoError));
    };

    if (!createDirectoryAtPath(backupPath, &error)) {
        undoMove();
        return QMError::errorWithMessage(message, QM_MethodReason(this, QStringLiteral("createDirectoryAtPath:")),
                                         error);
    }
    QStringList names;
    if (!contentsOfDirectoryAtPath(path, &names, &error)) {
        undoMove();
        return QMError::errorWithMessage(
            message, QM_MethodReason(this, QStringLiteral("contentsOfDirectoryAtPath:")), error);
    }

    bool failed = false;
    for (const QString &name : std::as_const(names)) {
        if (isExcludedFromCopy(name))
            continue;
        const QString filePath = path + QLatin1Char('/') + name;
        const QString fileBckPath = backupPath + QLatin1Char('/') + name;
        if (!copyItemAtPath(filePath, fileBckPath, &error)) {
            failed = true;
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO filePath:%1 fileBckPath:%2 error:%3")
                                        .arg(filePath, fileBckPath, error));
        }
    }
    if (!failed && fileExistsAtPath(backupPathOld) && !removeItemAtPath(backupPathOld, &error))
        QM_LogErrorMethod(this,
                          QStringLiteral("removeItemAtPath==NO backupPathOld:%1 error:%2").arg(backupPathOld, error));
    return nullptr;
}

QMError::Ptr QMRamDiskBackup::restoreRamDiskAtPath(const QString &path, const QString &backupDirPath)
{
    if (path.isEmpty() || backupDirPath.isEmpty())
        return QMError::errorWithMessage(QStringLiteral("Can not restore backup"),
                                         QM_MethodReason(this, QStringLiteral("path==nil || backupDirPath==nil")));
    QStringList names;
    QString error;
    // No backup yet (the first creation): nothing to copy.
    if (!contentsOfDirectoryAtPath(backupDirPath, &names, &error))
        return nullptr;
    for (const QString &name : std::as_const(names)) {
        if (isExcludedFromCopy(name))
            continue;
        if (!copyItemAtPath(backupDirPath + QLatin1Char('/') + name, path + QLatin1Char('/') + name, &error))
            QM_LogErrorMethod(this, QStringLiteral("copyItemAtPath==NO path:%1 backupDirPath:%2 error:%3")
                                        .arg(path, backupDirPath, error));
    }
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
    CopyReport report;
    struct stat st;
    const QByteArray src = fsPath(path), dst = fsPath(toPath);
    if (lstat(dst.constData(), &st) == 0) {
        report.fail(EEXIST, dst);
    } else {
        copyItem(src, dst, &report);
    }
    if (report.failures == 0)
        return true;
    if (error) {
        *error = report.failures == 1
                     ? report.firstError
                     : QStringLiteral("%1 (and %2 more items not copied)").arg(report.firstError).arg(report.failures - 1);
    }
    return false;
}
