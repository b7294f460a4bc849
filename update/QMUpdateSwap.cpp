#include "QMUpdateSwap.h"

#include "QMFileRemover.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int errnum)
{
    return QString::fromLocal8Bit(strerror(errnum));
}

// "path: reason" of the last system call's failure.
QString pathError(const QByteArray &path)
{
    return QStringLiteral("%1: %2").arg(QFile::decodeName(path), errnoText(errno));
}

// The entries of a directory, as paths, sorted.
bool childrenOf(const QByteArray &dir, QList<QByteArray> *children, QString *error)
{
    DIR *d = ::opendir(dir.constData());
    if (!d) {
        *error = pathError(dir);
        return false;
    }
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            *children << dir + '/' + e->d_name;
    }
    ::closedir(d);
    std::sort(children->begin(), children->end());
    return true;
}

bool copyFile(const QByteArray &from, const QByteArray &to, const struct stat &st, QString *error,
              const QMUpdateSwap::Rules &rules)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        *error = pathError(from);
        return false;
    }
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (out < 0) {
        *error = pathError(to);
        ::close(in);
        return false;
    }
    bool ok = true;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = pathError(from);
            ok = false;
            break;
        }
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                *error = pathError(to);
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    ::close(in);
    if (ok && rules.setOwner && ::fchown(out, rules.uid, rules.gid) != 0) {
        *error = pathError(to);
        ok = false;
    }
    const mode_t mode = !rules.installedModes ? (st.st_mode & 07777) : (st.st_mode & 0111) ? 0755 : 0644;
    if (ok && ::fchmod(out, mode) != 0) {
        *error = pathError(to);
        ok = false;
    }
    if (ok) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (::close(out) != 0 && ok) {
        *error = pathError(to);
        ok = false;
    }
    return ok;
}

bool copyEntry(const QByteArray &from, const QByteArray &to, QString *error, const QMUpdateSwap::Rules &rules)
{
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        *error = pathError(from);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(st.st_size > 0 ? st.st_size + 1 : 4096, Qt::Uninitialized);
        const ssize_t n = ::readlink(from.constData(), target.data(), size_t(target.size()));
        if (n < 0 || ::symlink(QByteArray(target.constData(), n).constData(), to.constData()) != 0
            || (rules.setOwner && ::lchown(to.constData(), rules.uid, rules.gid) != 0)) {
            *error = pathError(to);
            return false;
        }
        return true;
    }
    if (S_ISREG(st.st_mode))
        return copyFile(from, to, st, error, rules);
    if (!S_ISDIR(st.st_mode))
        return true; // devices, pipes and sockets are no part of an installation
    if (::mkdir(to.constData(), 0700) != 0 || (rules.setOwner && ::lchown(to.constData(), rules.uid, rules.gid) != 0)) {
        *error = pathError(to);
        return false;
    }
    QList<QByteArray> children;
    if (!childrenOf(from, &children, error))
        return false;
    for (const QByteArray &child : std::as_const(children)) {
        if (!copyEntry(child, to + child.mid(from.size()), error, rules))
            return false;
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, to.constData(), times, 0);
    if (::chmod(to.constData(), rules.installedModes ? 0755 : st.st_mode & 07777) != 0) {
        *error = pathError(to);
        return false;
    }
    return true;
}


QByteArray entryPath(const QString &prefix, const QString &entry, const char *suffix = nullptr)
{
    if (!suffix)
        return QFile::encodeName(prefix + QLatin1Char('/') + entry);
    return QFile::encodeName(prefix + QStringLiteral("/.") + entry + QLatin1String(suffix));
}

bool exists(const QByteArray &path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

// Removes what is there (nothing there is fine); the reason otherwise.
bool removeIfThere(const QByteArray &path, QString *error)
{
    if (!exists(path))
        return true;
    const QMFileRemover::Result removal = QMFileRemover::removePath(QFile::decodeName(path));
    if (!removal.ok() && error->isEmpty())
        *error = removal.summary();
    return removal.ok();
}

} // namespace

QMUpdateSwap::Outcome QMUpdateSwap::swap(const QString &prefix, const QString &newTree, const QStringList &entries,
                                          QString *error)
{
    QString unused;
    if (!error)
        error = &unused;
    error->clear();
    const char *const kNew = ".quilmo-new";
    const char *const kOld = ".quilmo-old";

    // Leftovers of an earlier attempt.
    for (const QString &e : entries)
        if (!removeIfThere(entryPath(prefix, e, kNew), error) || !removeIfThere(entryPath(prefix, e, kOld), error))
            return NothingChanged;

    // Everything new is copied before anything old is touched, with the modes of an
    // installation whatever the archive said. As root the copies belong to root, not to
    // the one who downloaded them.
    Rules rules;
    rules.installedModes = true;
    if (geteuid() == 0)
        rules.setOwner = true;
    for (const QString &e : entries) {
        if (!copyTree(newTree + QLatin1Char('/') + e, QFile::decodeName(entryPath(prefix, e, kNew)), error, rules)) {
            QString ignored;
            for (const QString &f : entries)
                removeIfThere(entryPath(prefix, f, kNew), &ignored);
            return NothingChanged;
        }
    }

    qsizetype failed = -1;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QByteArray current = entryPath(prefix, entries[i]), next = entryPath(prefix, entries[i], kNew),
                         old = entryPath(prefix, entries[i], kOld);
        if (exists(current) && ::rename(current.constData(), old.constData()) != 0) {
            *error = QStringLiteral("%1: %2").arg(QFile::decodeName(current), errnoText(errno));
            failed = i;
            break;
        }
        if (::rename(next.constData(), current.constData()) != 0) {
            *error = QStringLiteral("%1: %2").arg(QFile::decodeName(current), errnoText(errno));
            if (exists(old))
                ::rename(old.constData(), current.constData());
            failed = i;
            break;
        }
    }
    if (failed >= 0) {
        Outcome outcome = PutBack;
        for (qsizetype j = 0; j < failed; ++j) {
            const QByteArray current = entryPath(prefix, entries[j]), next = entryPath(prefix, entries[j], kNew),
                             old = entryPath(prefix, entries[j], kOld);
            const bool hadOld = exists(old);
            if (::rename(current.constData(), next.constData()) != 0
                || (hadOld && ::rename(old.constData(), current.constData()) != 0))
                outcome = NotAllPutBack;
        }
        QString ignored;
        for (const QString &e : entries)
            removeIfThere(entryPath(prefix, e, kNew), &ignored);
        return outcome;
    }
    // The old version is in the trash already; what stays here of it can go.
    QString ignored;
    for (const QString &e : entries)
        removeIfThere(entryPath(prefix, e, kOld), &ignored);
    return Done;
}

bool QMUpdateSwap::copyTree(const QString &source, const QString &destination, QString *error, const Rules &rules)
{
    QString unused;
    return copyEntry(QFile::encodeName(source), QFile::encodeName(destination), error ? error : &unused, rules);
}

bool QMUpdateSwap::copyTree(const QString &source, const QString &destination, QString *error)
{
    return copyTree(source, destination, error, Rules());
}

bool QMUpdateSwap::subpaths(const QByteArray &root, QList<QByteArray> *paths, QString *error)
{
    QList<QByteArray> children;
    if (!childrenOf(root, &children, error))
        return false;
    for (const QByteArray &child : children) {
        *paths << child;
        struct stat st {};
        if (::lstat(child.constData(), &st) == 0 && S_ISDIR(st.st_mode) && !subpaths(child, paths, error))
            return false;
    }
    return true;
}

