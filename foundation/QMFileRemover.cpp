#include "QMFileRemover.h"

#include "QMUniqueFd.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The mount a directory lies on: its device and, where the kernel tells it, the mount's
// id, which also tells a bind mount of the same file system apart.
struct Mount
{
    quint64 device = 0;
    quint64 id = 0;
    bool hasId = false;

    bool operator==(const Mount &other) const
    {
        return device == other.device && (!hasId || !other.hasId || id == other.id);
    }
};

bool mountOf(int fd, Mount *mount)
{
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) != 0)
        return false;
    mount->device = (quint64(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    mount->hasId = sx.stx_mask & STATX_MNT_ID;
    mount->id = sx.stx_mnt_id;
    return true;
}

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

QString child(const QString &parent, const char *name)
{
    return parent + QLatin1Char('/') + QFile::decodeName(name);
}

// Opens the directory `name` of `dirFd` without following a link. A folder of the user's
// own that the user may not read or change (a read-only tree copied from somewhere) is
// opened for the user to empty all the same. -1 with errno set otherwise.
int openDirectory(int dirFd, const char *name, bool writable)
{
    int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == EACCES && writable) {
        const QMUniqueFd handle(openat(dirFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (handle.isValid() && fstat(handle.get(), &st) == 0 && st.st_uid == geteuid()) {
            // The handle's own inode, whatever its name points to by now.
            const QByteArray self = "/proc/self/fd/" + QByteArray::number(handle.get());
            if (chmod(self.constData(), (st.st_mode | S_IRWXU) & 07777) == 0)
                fd = openat(handle.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (fd < 0)
            errno = EACCES;
    }
    if (fd >= 0 && writable) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & S_IRWXU) != S_IRWXU)
            fchmod(fd, (st.st_mode | S_IRWXU) & 07777);
    }
    return fd;
}

class Walk
{
public:
    explicit Walk(const Mount &mount) : _mount(mount) {}

    QMFileRemover::Result result;

    void fail(const QString &shown, const QString &reason)
    {
        ++result.failed;
        if (result.problems.size() < QMFileRemover::maximumProblemsListed)
            result.problems << QStringLiteral("%1 (%2)").arg(reason, shown);
    }
    void fail(const QString &shown, int errnum) { fail(shown, QString::fromLocal8Bit(strerror(errnum))); }

    // Removes one entry of `dirFd`; `type` is what the directory listing said it was.
    void removeEntry(int dirFd, const char *name, const QString &shown, unsigned char type)
    {
        if (type != DT_DIR && type != DT_UNKNOWN) {
            if (unlinkat(dirFd, name, 0) == 0) {
                ++result.removed;
                return;
            }
            if (errno == ENOENT)
                return; // gone meanwhile
            if (errno != EISDIR) {
                fail(shown, errno);
                return;
            }
            // A directory took its place meanwhile: it is removed as one.
        }
        const QMUniqueFd fd(openDirectory(dirFd, name, true));
        if (!fd.isValid()) {
            const int errnum = errno;
            if (errnum == ENOENT)
                return;
            if (errnum != ENOTDIR && errnum != ELOOP) {
                fail(shown, errnum);
                return;
            }
            // Not a directory (any more): the entry goes, a link as a link.
            if (unlinkat(dirFd, name, 0) == 0)
                ++result.removed;
            else if (errno != ENOENT)
                fail(shown, errno);
            return;
        }
        Mount mount;
        if (!mountOf(fd.get(), &mount)) {
            fail(shown, errno);
            return;
        }
        if (!(mount == _mount)) {
            fail(shown, QStringLiteral("another file system is mounted there; it was not entered"));
            return;
        }
        const quint64 failedBefore = result.failed;
        removeContents(fd.get(), shown, {});
        if (unlinkat(dirFd, name, AT_REMOVEDIR) == 0)
            ++result.removed;
        else if (errno != ENOENT && !(errno == ENOTEMPTY && result.failed > failedBefore))
            // What kept the directory from going is reported already.
            fail(shown, errno);
    }

    void removeContents(int fd, const QString &shown, const QMFileRemover::KeepFilter &keep)
    {
        DIR *dir = nullptr;
        const int listing = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (listing < 0 || !(dir = fdopendir(listing))) {
            fail(shown, errno);
            if (listing >= 0)
                close(listing);
            return;
        }
        // Names made while the directory is read may be missed by that reading: it is read
        // again until a reading finds nothing new (a few times at most, against someone who
        // keeps adding). What failed once is not tried again.
        std::set<QByteArray> failedHere;
        for (int pass = 0; pass < 4; ++pass) {
            bool tried = false;
            rewinddir(dir);
            while (const struct dirent *entry = readdir(dir)) {
                if (isDotOrDotDot(entry->d_name))
                    continue;
                const QByteArray name(entry->d_name);
                if ((keep && keep(name)) || failedHere.count(name))
                    continue;
                tried = true;
                const quint64 failedBefore = result.failed;
                removeEntry(fd, entry->d_name, child(shown, entry->d_name), entry->d_type);
                if (result.failed > failedBefore)
                    failedHere.insert(name);
            }
            if (!tried)
                break;
        }
        closedir(dir);
    }

    quint64 count(int fd)
    {
        quint64 n = 0;
        const int listing = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        DIR *dir = listing >= 0 ? fdopendir(listing) : nullptr;
        if (!dir) {
            if (listing >= 0)
                close(listing);
            return 0;
        }
        while (const struct dirent *entry = readdir(dir)) {
            if (isDotOrDotDot(entry->d_name))
                continue;
            ++n;
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
                continue;
            const QMUniqueFd sub(openDirectory(fd, entry->d_name, false));
            Mount mount;
            if (sub.isValid() && mountOf(sub.get(), &mount) && mount == _mount)
                n += count(sub.get());
        }
        closedir(dir);
        return n;
    }

private:
    Mount _mount;
};

} // namespace

QString QMFileRemover::Result::summary() const
{
    QString text = problems.join(QStringLiteral("; "));
    if (failed > quint64(problems.size()))
        text += QStringLiteral(" (and %1 more)").arg(failed - quint64(problems.size()));
    return text;
}

QMFileRemover::Result QMFileRemover::removeEntry(int dirFd, const QByteArray &name, const QString &shownAs)
{
    const QString shown = shownAs.isEmpty() ? QFile::decodeName(name) : shownAs;
    Mount mount;
    if (!mountOf(dirFd, &mount)) {
        Walk walk(mount);
        walk.fail(shown, errno);
        return walk.result;
    }
    Walk walk(mount);
    struct stat st {};
    if (name.isEmpty() || name.contains('/') || isDotOrDotDot(name.constData())) {
        walk.fail(shown, EINVAL);
    } else if (fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        walk.fail(shown, errno);
    } else {
        walk.removeEntry(dirFd, name.constData(), shown, S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN);
    }
    return walk.result;
}

QMFileRemover::Result QMFileRemover::removeContents(int dirFd, const QString &shownAs, const KeepFilter &keep)
{
    Mount mount;
    const bool known = mountOf(dirFd, &mount);
    Walk walk(mount);
    if (!known)
        walk.fail(shownAs, errno);
    else
        walk.removeContents(dirFd, shownAs, keep);
    return walk.result;
}

QMFileRemover::Result QMFileRemover::removePath(const QString &path)
{
    QByteArray encoded = QFile::encodeName(path);
    while (encoded.size() > 1 && encoded.endsWith('/'))
        encoded.chop(1);
    const qsizetype slash = encoded.lastIndexOf('/');
    const QByteArray parent = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : encoded.left(slash);
    const QByteArray name = encoded.mid(slash + 1);
    const QMUniqueFd parentFd(name.isEmpty() ? -1 : open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parentFd.isValid()) {
        Result result;
        result.failed = 1;
        result.problems << QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(name.isEmpty() ? EINVAL : errno)), path);
        return result;
    }
    return removeEntry(parentFd.get(), name, path);
}

quint64 QMFileRemover::countContents(int dirFd)
{
    Mount mount;
    if (!mountOf(dirFd, &mount))
        return 0;
    return Walk(mount).count(dirFd);
}
