#include "QMFileCopier.h"

#include "QMFileRemover.h"
#include "QMNextDirEntry.h"

#include <QFile>

#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

// Closes a descriptor when it goes out of scope.
struct Fd
{
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    // Closing reports the last write error of some file systems: it must be looked at.
    int release()
    {
        const int r = fd >= 0 ? close(fd) : 0;
        fd = -1;
        return r;
    }
};

// Files up to this size are read and written whole (when they have no hole).
constexpr size_t kSmallFile = 64 * 1024;

// The in-kernel copy (copy_file_range) of one file: whether to try it, whether the file
// systems refused it, and what it copied.
struct KernelCopy
{
    bool tried = true;
    bool refused = false;
    quint64 bytes = 0;
};

bool writeAll(int out, const char *data, size_t size, off_t offset, int *errnum)
{
    while (size > 0) {
        const ssize_t w = pwrite(out, data, size, offset);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            *errnum = errno;
            return false;
        }
        data += w;
        size -= size_t(w);
        offset += w;
    }
    return true;
}

// Copies [offset, offset + length) to the same place of `out`; stops early at the end of
// a file that shrank meanwhile. *end is moved past what was written.
bool copyRange(int in, int out, off_t offset, off_t length, KernelCopy *kernel, off_t *end, int *errnum)
{
    while (length > 0) {
        const size_t chunk = size_t(std::min<off_t>(length, off_t(1) << 30));
        ssize_t n;
        if (kernel->tried) {
            loff_t inOff = offset, outOff = offset;
            n = copy_file_range(in, &inOff, out, &outOff, chunk, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP
                          || errno == EBADF || errno == EPERM)) {
                kernel->tried = false;
                // Two file systems that cannot copy between them never will: not asked again.
                kernel->refused = errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP;
                continue;
            }
            if (n > 0)
                kernel->bytes += quint64(n);
        } else {
            static thread_local std::vector<char> buffer(size_t(1) << 20);
            n = pread(in, buffer.data(), std::min(chunk, buffer.size()), offset);
            if (n > 0 && !writeAll(out, buffer.data(), size_t(n), offset, errnum))
                return false;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *errnum = errno;
            return false;
        }
        if (n == 0)
            break;
        offset += n;
        length -= n;
        *end = std::max(*end, offset);
    }
    return true;
}

// Copies the data of a file, leaving its holes as holes. The file may grow or shrink
// while it is read: the copy ends at its size when the last hole was looked up.
bool copyData(int in, int out, KernelCopy *kernel, int *errnum)
{
    off_t pos = 0, end = 0;
    for (;;) {
        off_t data = lseek(in, pos, SEEK_DATA);
        off_t hole;
        if (data < 0) {
            if (errno == ENXIO)
                break; // only a hole, or nothing, from here on
            if (errno != EINVAL && errno != EOPNOTSUPP) {
                *errnum = errno;
                return false;
            }
            // No hole lookup on this file system: all of it is data.
            struct stat st {};
            if (fstat(in, &st) != 0) {
                *errnum = errno;
                return false;
            }
            data = pos;
            hole = st.st_size;
        } else {
            hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0) {
                *errnum = errno;
                return false;
            }
        }
        if (hole <= data)
            break;
        if (!copyRange(in, out, data, hole - data, kernel, &end, errnum))
            return false;
        pos = hole;
    }
    // The length, including a hole at the end: the copy is as long as what it wrote unless
    // the file ends in a hole.
    struct stat st {};
    if (fstat(in, &st) != 0) {
        *errnum = errno;
        return false;
    }
    if (st.st_size != end && ftruncate(out, st.st_size) != 0) {
        *errnum = errno;
        return false;
    }
    return true;
}

// A small file whose every byte is data (no hole to keep): one read and one write into the
// new, empty copy. False with *errnum 0 when the file grew past `size` since it was looked
// at: the caller copies it the general way, over what was written here.
bool copySmall(int in, int out, size_t size, int *errnum)
{
    static thread_local std::vector<char> buffer(kSmallFile + 1);
    ssize_t n;
    do
        n = pread(in, buffer.data(), size + 1, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        *errnum = errno;
        return false;
    }
    if (size_t(n) > size) {
        *errnum = 0;
        return false;
    }
    size_t length = size_t(n);
    // Fewer bytes than it had: it shrank, or the read stopped short; a second read tells.
    while (length < size) {
        do
            n = pread(in, buffer.data() + length, size + 1 - length, off_t(length));
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            *errnum = errno;
            return false;
        }
        if (n == 0)
            break;
        length += size_t(n);
    }
    if (length > size) {
        *errnum = 0;
        return false;
    }
    return writeAll(out, buffer.data(), length, 0, errnum);
}

// Errors of setting an attribute that mean the destination cannot hold that kind of
// attribute at all (no extended attributes on the file system, or a namespace such as
// "trusted." or "security." that only the kernel or root may write): not a lost item.
bool attributeNotHoldable(int errnum)
{
    return errnum == ENOTSUP || errnum == EOPNOTSUPP || errnum == EPERM || errnum == EACCES;
}

// The process's umask, from /proc (reading it with umask(2) would change it for every
// thread meanwhile); -1 when it cannot be read.
int currentUmask()
{
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[4096];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    const char *line = strstr(text, "\nUmask:");
    if (!line)
        return -1;
    char *end = nullptr;
    const long value = strtol(line + 7, &end, 8);
    return end != line + 7 && value >= 0 && value <= 0777 ? int(value) : -1;
}

bool isEarlier(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The names of extended attributes that `list` (a listxattr) gives, into *names; their
// length, or -1 with errno.
template<typename List>
ssize_t listNames(List list, std::vector<char> *names)
{
    for (;;) {
        ssize_t size = list(nullptr, 0);
        if (size <= 0)
            return size;
        names->resize(size_t(size));
        size = list(names->data(), names->size());
        if (size >= 0 || errno != ERANGE) // ERANGE: it grew meanwhile, ask again
            return size;
    }
}

bool hasName(const std::vector<char> &names, ssize_t size, const char *name)
{
    for (ssize_t i = 0; i < size;) {
        const char *other = names.data() + i;
        if (strcmp(other, name) == 0)
            return true;
        i += ssize_t(strlen(other)) + 1;
    }
    return false;
}

} // namespace

void QMFileCopier::fail(int errnum, const QByteArray &path)
{
    _lastFailure = {path, errnum};
    if (_failures.size() < kKeptFailures)
        _failures.append(_lastFailure);
    ++_failureCount;
}

bool QMFileCopier::gone(int errnum)
{
    if (errnum != ENOENT || !_skipsVanished)
        return false;
    ++_statistics.itemsGone;
    return true;
}

QString QMFileCopier::displayPath(const QByteArray &path)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(path);
    if (!decoder.hasError())
        return text;
    text.clear();
    for (const char c : path) {
        const uchar u = uchar(c);
        if (u < 0x80)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString QMFileCopier::describe(const Failure &failure)
{
    return QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(failure.errnum)), displayPath(failure.path));
}

QString QMFileCopier::summary() const
{
    if (_failures.isEmpty())
        return {};
    QString text = describe(_failures.first());
    if (_failureCount > 1)
        text += QStringLiteral(" (and %1 more items not copied)").arg(_failureCount - 1);
    return text;
}

void QMFileCopier::setReferenceTime(const struct timespec &begun)
{
    _referenceTime = begun;
    _haveReferenceTime = true;
}

void QMFileCopier::setOlderCopyTime(const struct timespec &begun)
{
    _olderTime = begun;
    _haveOlderTime = true;
}

bool QMFileCopier::copyItem(const QByteArray &src, const QByteArray &dst, const QByteArray &reference, bool *present)
{
    const int before = _failureCount;
    bool there = true;
    struct stat st {};
    if (!_haveOlderTime && lstat(dst.constData(), &st) == 0) {
        fail(EEXIST, dst);
    } else if (lookAtDestination(dst)) {
        Parents top;
        top.older = _haveOlderTime;
        there = copyAny(src, dst, reference, top);
    }
    if (present)
        *present = there;
    return _failureCount == before;
}

bool QMFileCopier::lookAtDestination(const QByteArray &dst)
{
    const qsizetype slash = dst.lastIndexOf('/');
    const QByteArray parent = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : dst.left(slash);
    struct stat st {};
    if (stat(parent.constData(), &st) != 0) {
        fail(errno, parent);
        return false;
    }
    _destinationDevice = quint64(st.st_dev);
    // What a file created there gets without being told: its owner and group (a folder
    // that hands its group down gives its own), and its mode as asked less the umask,
    // unless a default ACL of the folder decides the mode instead. Folders made in the
    // copy hand down the same, since their own modes and ACLs are set after their items.
    _createdOwner = quint32(geteuid());
    _createdGroup = (st.st_mode & S_ISGID) ? quint32(st.st_gid) : quint32(getegid());
    const bool noDefaultAcl = lgetxattr(parent.constData(), "system.posix_acl_default", nullptr, 0) < 0
                              && (errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP);
    if (_umask < 0)
        _umask = currentUmask();
    _createdModesKept = noDefaultAcl && _umask >= 0;
    return true;
}

bool QMFileCopier::copyAny(const QByteArray &src, const QByteArray &dst, const QByteArray &reference,
                           const Parents &parents)
{
    struct stat st {};
    if (fstatat(parents.dirOf(parents.src), parents.pathOf(parents.src, src), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!gone(errno))
            fail(errno, src);
        return false;
    }
    if (parents.older) {
        struct stat old {};
        if (fstatat(parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst), &old, AT_SYMLINK_NOFOLLOW) == 0) {
            if (updateOlder(src, dst, st, old, reference, parents))
                return true;
        } else if (errno != ENOENT) {
            fail(errno, dst);
            return true;
        }
    }
    if (S_ISREG(st.st_mode))
        copyFile(src, dst, st, reference, parents);
    else if (S_ISDIR(st.st_mode))
        copyDirectory(src, dst, st, reference, parents);
    else if (S_ISLNK(st.st_mode))
        copySymlink(src, dst, st);
    else
        copySpecial(src, dst, st);
    return true;
}

bool QMFileCopier::updateOlder(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                               const struct stat &old, const QByteArray &reference, const Parents &parents)
{
    if (S_ISDIR(st.st_mode) && S_ISDIR(old.st_mode) && updateDirectory(src, dst, st, reference, parents))
        return true;
    // A file with several names is made anew, so that its names become one file again.
    const FileKey key(quint64(st.st_dev), quint64(st.st_ino));
    if (S_ISREG(st.st_mode) && st.st_nlink == 1 && !_mapped.contains(key) && standsFor(st, old, _olderTime)) {
        _taken.insert(FileKey(quint64(old.st_dev), quint64(old.st_ino)), key);
        ++_statistics.filesLinked;
        _statistics.bytesLinked += quint64(st.st_size);
        return true;
    }
    // Removed, never written into: it may be a file of the newer copy as well.
    if (S_ISDIR(old.st_mode)) {
        const QMFileRemover::Result removed =
            parents.dst >= 0 ? QMFileRemover::removeEntry(parents.dst, parents.name, displayPath(dst))
                             : QMFileRemover::removePath(QFile::decodeName(dst));
        if (!removed.ok()) {
            fail(ENOTEMPTY, dst);
            return true;
        }
    } else if (unlinkat(parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst), 0) != 0) {
        fail(errno, dst);
        return true;
    }
    return false;
}

bool QMFileCopier::copyXattrs(const QByteArray &src, int srcFd, const QByteArray &dst, int dstFd, bool dropOthers)
{
    bool set = false;
    // Descriptors where there are some; symbolic links only by path, without following.
    auto list = [&](char *buffer, size_t size) {
        return srcFd >= 0 ? flistxattr(srcFd, buffer, size) : llistxattr(src.constData(), buffer, size);
    };
    auto listCopy = [&](char *buffer, size_t size) {
        return dstFd >= 0 ? flistxattr(dstFd, buffer, size) : llistxattr(dst.constData(), buffer, size);
    };
    auto get = [&](const char *name, void *value, size_t size) {
        return srcFd >= 0 ? fgetxattr(srcFd, name, value, size) : lgetxattr(src.constData(), name, value, size);
    };
    auto put = [&](const char *name, const void *value, size_t size) {
        return dstFd >= 0 ? fsetxattr(dstFd, name, value, size, 0) : lsetxattr(dst.constData(), name, value, size, 0);
    };
    std::vector<char> names;
    const ssize_t size = listNames(list, &names);
    if (size < 0) {
        // A link or special file removed since it was recreated: the copy stands.
        if (errno != ENOTSUP && errno != EOPNOTSUPP && !(errno == ENOENT && _skipsVanished))
            fail(errno, src);
        return false;
    }
    if (dropOthers) {
        // What an older copy has beyond the source's; the security namespace is the
        // system's own labelling of the copy.
        std::vector<char> copyNames;
        const ssize_t copySize = listNames(listCopy, &copyNames);
        for (ssize_t i = 0; i < copySize;) {
            const char *name = copyNames.data() + i;
            i += ssize_t(strlen(name)) + 1;
            if (strncmp(name, "security.", 9) == 0 || strcmp(name, kSourceFolderAttribute) == 0
                || hasName(names, size, name))
                continue;
            const int r = dstFd >= 0 ? fremovexattr(dstFd, name) : lremovexattr(dst.constData(), name);
            if (r != 0 && errno != ENODATA && !attributeNotHoldable(errno))
                fail(errno, dst);
        }
    }
    std::vector<char> value;
    for (ssize_t i = 0; i < size;) {
        const char *name = names.data() + i;
        i += ssize_t(strlen(name)) + 1;
        if (strcmp(name, kSourceFolderAttribute) == 0) // a copy's own record, never the tree's
            continue;
        ssize_t vsize = get(name, nullptr, 0);
        if (vsize >= 0) {
            value.resize(size_t(vsize) + 1);
            vsize = get(name, value.data(), value.size());
        }
        if (vsize < 0) {
            if (errno != ENODATA) // removed meanwhile
                fail(errno, src);
            continue;
        }
        if (put(name, value.data(), size_t(vsize)) == 0)
            set = true;
        else if (!attributeNotHoldable(errno))
            fail(errno, dst);
    }
    return set;
}

bool QMFileCopier::standsFor(const struct stat &st, const struct stat &copy, const struct timespec &begun) const
{
    if (!S_ISREG(copy.st_mode) || copy.st_mode != st.st_mode || copy.st_size != st.st_size || copy.st_uid != st.st_uid
        || copy.st_gid != st.st_gid || copy.st_mtim.tv_sec != st.st_mtim.tv_sec
        || copy.st_mtim.tv_nsec != st.st_mtim.tv_nsec)
        return false;
    // A second of margin: the file system stamps times from a clock that runs a tick
    // behind the one that dated the copy.
    const struct timespec trustedBefore = {begun.tv_sec - 1, begun.tv_nsec};
    if (!isEarlier(st.st_mtim, trustedBefore) || !isEarlier(st.st_ctim, trustedBefore))
        return false;
    const FileKey copyKey(quint64(copy.st_dev), quint64(copy.st_ino));
    if (_unsettled.contains(copyKey))
        return false;
    const auto taken = _taken.constFind(copyKey);
    return taken == _taken.constEnd() || *taken == FileKey(quint64(st.st_dev), quint64(st.st_ino));
}

bool QMFileCopier::linkUnchanged(const QByteArray &dst, const struct stat &st, const QByteArray &reference,
                                 const Parents &parents)
{
    if (!_haveReferenceTime)
        return false;
    const int refDir = parents.dirOf(parents.ref);
    const char *refPath = parents.pathOf(parents.ref, reference);
    struct stat ref {};
    if (fstatat(refDir, refPath, &ref, AT_SYMLINK_NOFOLLOW) != 0 || !standsFor(st, ref, _referenceTime))
        return false;
    // Any failure (no hard links there, too many links) leaves the file to be copied.
    if (linkat(refDir, refPath, parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst), 0) != 0)
        return false;
    _taken.insert(FileKey(quint64(ref.st_dev), quint64(ref.st_ino)), FileKey(quint64(st.st_dev), quint64(st.st_ino)));
    ++_statistics.filesLinked;
    _statistics.bytesLinked += quint64(st.st_size);
    return true;
}

void QMFileCopier::copyFile(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                            const QByteArray &reference, const Parents &parents)
{
    const FileKey key(quint64(st.st_dev), quint64(st.st_ino));
    const bool mapped = _mapped.contains(key);
    if (st.st_nlink > 1) {
        const auto first = _linked.constFind(key);
        if (first != _linked.constEnd()) {
            if (link(first->constData(), dst.constData()) == 0)
                return;
            // A file system without hard links gets a second copy instead.
            if (errno != EPERM && errno != EMLINK && errno != ENOTSUP && errno != EOPNOTSUPP) {
                fail(errno, dst);
                return;
            }
        }
    }
    if (!mapped && !reference.isEmpty() && linkUnchanged(dst, st, reference, parents)) {
        if (st.st_nlink > 1)
            _linked.insert(key, dst);
        return;
    }

    Fd in(openat(parents.dirOf(parents.src), parents.pathOf(parents.src, src), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0) {
        if (!gone(errno))
            fail(errno, src);
        return;
    }
    // Created with its mode where nothing can change that mode afterwards, which saves
    // setting it again; else private until its mode is set at the end.
    const mode_t mode = st.st_mode & 07777;
    const bool giveAway = st.st_uid != _createdOwner || st.st_gid != _createdGroup;
    const bool modeAtCreation = _createdModesKept && !giveAway && !(mode & ~0777) && !(mode & _umask);
    Fd out(openat(parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, modeAtCreation ? mode : 0600));
    if (out.fd < 0) {
        fail(errno, dst);
        return;
    }
    int errnum = 0;
    KernelCopy kernel;
    const DevicePair pair(quint64(st.st_dev), _destinationDevice);
    kernel.tried = !_noKernelCopy.contains(pair);
    auto copy = [&] {
        if (size_t(st.st_size) <= kSmallFile && qint64(st.st_blocks) * 512 >= qint64(st.st_size)) {
            if (copySmall(in.fd, out.fd, size_t(st.st_size), &errnum))
                return true;
            if (errnum != 0)
                return false;
            // Grown since it was looked at: the general way, over what was written.
        }
        return copyData(in.fd, out.fd, &kernel, &errnum);
    };
    bool ok = copy();
    if (!ok && errnum == ENOSPC && _flushesWhenFull && syncfs(out.fd) == 0 && ftruncate(out.fd, 0) == 0)
        ok = copy();
    if (kernel.refused)
        _noKernelCopy.insert(pair);
    _statistics.bytesCopiedInKernel += kernel.bytes;
    if (!ok) {
        fail(errnum, errnum == ENOSPC || errnum == EDQUOT || errnum == EFBIG ? dst : src);
    } else {
        const int before = _failureCount;
        const bool attributesSet = copyXattrs(src, in.fd, dst, out.fd);
        if (giveAway) {
            // Only root may give a file away; a user's copy stays the user's, as with cp -a.
            if (fchown(out.fd, st.st_uid, st.st_gid) != 0 && fchown(out.fd, uid_t(-1), st.st_gid) != 0) {
            }
        }
        // Also after an access ACL was set, which sets the mode as well.
        if ((!modeAtCreation || attributesSet) && fchmod(out.fd, mode) != 0)
            fail(errno, dst);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (futimens(out.fd, times) != 0)
            fail(errno, dst);
        struct stat copied {};
        if (mapped && fstat(out.fd, &copied) == 0)
            _copiedWhileMapped.append(quint64(copied.st_ino));
        ok = _failureCount == before;
    }
    if (out.release() != 0 && ok) {
        fail(errno, dst);
        ok = false;
    }
    if (!ok) {
        unlinkat(parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst), 0); // never leave a copy that looks whole
        return;
    }
    ++_statistics.filesCopied;
    _statistics.bytesCopied += quint64(st.st_size);
    if (st.st_nlink > 1)
        _linked.insert(key, dst);
}

namespace {

// The folder of an item's earlier copy, open, when that copy has a folder there made
// from the source folder of status `source`.
int openReferenceFolder(int dirFd, const char *path, const struct stat &source)
{
    const int fd = openat(dirFd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && !QMFileCopier::folderMadeFrom(fd, QByteArray(), source)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The records of the folder open at `fd` (closed here) and of every folder below it on
// the device `device`.
void clearRecordsBelow(int fd, dev_t device)
{
    if (fremovexattr(fd, QMFileCopier::kSourceFolderAttribute) != 0 && (errno == ENOTSUP || errno == EOPNOTSUPP)) {
        close(fd); // a file system without attributes holds no records
        return;
    }
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return;
    }
    while (const struct dirent *entry = QMNextDirEntry(dir)) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        const int child = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (child >= 0 && fstat(child, &st) == 0 && st.st_dev == device)
            clearRecordsBelow(child, device);
        else if (child >= 0)
            close(child);
    }
    closedir(dir);
}

} // namespace

bool QMFileCopier::folderMadeFrom(int copyFd, const QByteArray &copyPath, const struct stat &source)
{
    quint64 inode = 0;
    const ssize_t n = copyFd >= 0 ? fgetxattr(copyFd, kSourceFolderAttribute, &inode, sizeof inode)
                                  : lgetxattr(copyPath.constData(), kSourceFolderAttribute, &inode, sizeof inode);
    if (n < 0 && (errno == ENOTSUP || errno == EOPNOTSUPP))
        return true; // no attributes there: taken by their paths alone, as before records
    return n == ssize_t(sizeof inode) && inode == quint64(source.st_ino);
}

void QMFileCopier::recordSourceFolder(int copyFd, const struct stat &source)
{
    const quint64 inode = quint64(source.st_ino);
    if (fsetxattr(copyFd, kSourceFolderAttribute, &inode, sizeof inode, 0) != 0) {
        // unrecorded: the next copy copies this folder's files rather than linking them
    }
}

void QMFileCopier::clearSourceFolderRecords(const QByteArray &top)
{
    const int fd = open(top.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0)
        clearRecordsBelow(fd, st.st_dev);
    else if (fd >= 0)
        close(fd);
}

void QMFileCopier::copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                                 const QByteArray &reference, const Parents &parents)
{
    // The folder is opened first: one removed meanwhile leaves nothing behind in the copy.
    const int inFd = openat(parents.dirOf(parents.src), parents.pathOf(parents.src, src),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inFd < 0 && gone(errno))
        return;
    const int inErrno = errno;
    // The folder read, which may have taken the name since it was looked at.
    struct stat opened = st;
    if (inFd >= 0 && fstat(inFd, &opened) != 0)
        opened.st_ino = 0;
    // Only a directory of the reference made from this folder holds what this one held.
    Fd refFd(reference.isEmpty() || inFd < 0
                 ? -1
                 : openReferenceFolder(parents.dirOf(parents.ref), parents.pathOf(parents.ref, reference), opened));
    const int dstDir = parents.dirOf(parents.dst);
    const char *dstPath = parents.pathOf(parents.dst, dst);
    if (mkdirat(dstDir, dstPath, 0700) != 0) {
        fail(errno, dst);
        if (inFd >= 0)
            close(inFd);
        return;
    }
    Fd out(openat(dstDir, dstPath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const int outErrno = errno;
    if (out.fd >= 0 && inFd >= 0 && _recordsSourceFolders)
        recordSourceFolder(out.fd, opened);
    DIR *dir = inFd >= 0 ? fdopendir(inFd) : nullptr;
    if (!dir) {
        fail(inFd >= 0 ? errno : inErrno, src);
        if (inFd >= 0)
            close(inFd);
    }
    if (out.fd < 0)
        fail(outErrno, dst);
    else if (dir)
        copyEntries(src, dir, dst, out.fd, reference, refFd.fd, st, false);
    if (dir)
        closedir(dir);
}

bool QMFileCopier::updateDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                                   const QByteArray &reference, const Parents &parents)
{
    // Filled as a folder made anew is: writable to us until its own mode is set at the
    // end, and with nothing that hands itself down to what is created in it (a default
    // ACL, a set group id), which a new folder gets only at the end too.
    Fd out(openat(parents.dirOf(parents.dst), parents.pathOf(parents.dst, dst),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (out.fd < 0)
        return false;
    // Gone or unreadable: copying it anew tells which.
    const int inFd = openat(parents.dirOf(parents.src), parents.pathOf(parents.src, src),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = inFd >= 0 ? fdopendir(inFd) : nullptr;
    if (!dir) {
        if (inFd >= 0)
            close(inFd);
        return false;
    }
    // A folder made from another source folder (two folders swapped names) holds other
    // files under the same names: made anew.
    struct stat opened {};
    if (fstat(inFd, &opened) != 0 || !folderMadeFrom(out.fd, dst, opened)
        || fgetxattr(out.fd, "system.posix_acl_default", nullptr, 0) >= 0 || fchmod(out.fd, 0700) != 0) {
        closedir(dir);
        return false;
    }
    Fd refFd(reference.isEmpty()
                 ? -1
                 : openReferenceFolder(parents.dirOf(parents.ref), parents.pathOf(parents.ref, reference), opened));
    copyEntries(src, dir, dst, out.fd, reference, refFd.fd, st, true);
    closedir(dir);
    return true;
}

void QMFileCopier::copyEntries(const QByteArray &src, DIR *dir, const QByteArray &dst, int dstFd,
                               const QByteArray &reference, int refFd, const struct stat &st, bool older)
{
    const int inFd = dirfd(dir);
    QByteArray childSrc = src, childDst = dst, childRef;
    if (!childSrc.endsWith('/'))
        childSrc += '/';
    childDst += '/';
    if (refFd >= 0)
        childRef = reference + '/';
    const qsizetype srcLen = childSrc.size(), dstLen = childDst.size(), refLen = childRef.size();
    QSet<QByteArray> present;
    while (const struct dirent *entry = QMNextDirEntry(dir)) {
        const char *name = entry->d_name;
        childSrc.truncate(srcLen);
        childDst.truncate(dstLen);
        childSrc += name;
        childDst += name;
        if (refLen > 0) {
            childRef.truncate(refLen);
            childRef += name;
        }
        if (copyAny(childSrc, childDst, childRef, Parents{inFd, dstFd, refFd, name, older}) && older)
            present.insert(QByteArray(name));
    }
    if (errno != 0) {
        fail(errno, src);
        return; // what else the older copy holds is unknown: nothing is removed
    }
    if (older) {
        const QMFileRemover::Result removed = QMFileRemover::removeContents(
            dstFd, displayPath(dst), [&present](const QByteArray &name) { return present.contains(name); });
        if (!removed.ok())
            fail(ENOTEMPTY, dst);
    }
    copyXattrs(src, inFd, dst, dstFd, older);
    if (fchown(dstFd, st.st_uid, st.st_gid) != 0) {
        // as for files: ownership is kept where permitted
    }
    if (fchmod(dstFd, st.st_mode & 07777) != 0)
        fail(errno, dst);
    // Last, since filling the directory changed its times.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(dstFd, times) != 0)
        fail(errno, dst);
}

void QMFileCopier::copySymlink(const QByteArray &src, const QByteArray &dst, const struct stat &st)
{
    std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    const ssize_t n = readlink(src.constData(), target.data(), target.size() - 1);
    if (n < 0) {
        if (!gone(errno))
            fail(errno, src);
        return;
    }
    target[size_t(n)] = '\0';
    if (symlink(target.data(), dst.constData()) != 0) {
        fail(errno, dst);
        return;
    }
    copyXattrs(src, -1, dst, -1);
    if (lchown(dst.constData(), st.st_uid, st.st_gid) != 0) {
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, dst.constData(), times, AT_SYMLINK_NOFOLLOW);
}

void QMFileCopier::copySpecial(const QByteArray &src, const QByteArray &dst, const struct stat &st)
{
    // Pipes, sockets and device nodes are recreated, not read.
    if (mknod(dst.constData(), st.st_mode, st.st_rdev) != 0) {
        fail(errno, dst);
        return;
    }
    copyXattrs(src, -1, dst, -1);
    if (lchown(dst.constData(), st.st_uid, st.st_gid) != 0) {
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, dst.constData(), times, AT_SYMLINK_NOFOLLOW);
}

bool QMFileCopier::listDirectory(const QByteArray &path, QList<QByteArray> *names, int *errnum)
{
    DIR *dir = path.isEmpty() ? nullptr : opendir(path.constData());
    if (!dir) {
        if (errnum)
            *errnum = path.isEmpty() ? ENOENT : errno;
        return false;
    }
    QList<QByteArray> list;
    while (const struct dirent *entry = QMNextDirEntry(dir))
        list << QByteArray(entry->d_name);
    const int readErrno = errno;
    closedir(dir);
    if (readErrno != 0) {
        if (errnum)
            *errnum = readErrno;
        return false;
    }
    if (names)
        *names = list;
    return true;
}

bool QMFileCopier::syncFileSystem(int fd, int *errnum)
{
    if (fd < 0 || syncfs(fd) != 0) {
        if (errnum)
            *errnum = errno;
        return false;
    }
    return true;
}

bool QMFileCopier::syncDirectory(const QByteArray &path, int *errnum)
{
    Fd fd(open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd < 0 || fsync(fd.fd) != 0) {
        if (errnum)
            *errnum = errno;
        return false;
    }
    return true;
}
