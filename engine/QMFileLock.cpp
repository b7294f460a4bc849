#include "QMFileLock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(const QString &what, int code)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(code)));
}

// The lock file itself, never through a symbolic link, never a FIFO or a device (opening
// those could hang or act on something else), and only one of the user's own.
int openLockFile(const QString &path, QString *error)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = errnoText(QStringLiteral("cannot open the lock file %1").arg(path), errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        if (error)
            *error = QStringLiteral("the lock file %1 is not a regular file of this user").arg(path);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

QMFileLock::~QMFileLock()
{
    unlock();
}

QMFileLock::QMFileLock(QMFileLock &&other) noexcept : _fd(other._fd), _wroteHolder(other._wroteHolder)
{
    other._fd = -1;
    other._wroteHolder = false;
}

QMFileLock &QMFileLock::operator=(QMFileLock &&other) noexcept
{
    if (this != &other) {
        unlock();
        _fd = other._fd;
        _wroteHolder = other._wroteHolder;
        other._fd = -1;
        other._wroteHolder = false;
    }
    return *this;
}

QMFileLock::Result QMFileLock::tryLock(const QString &path, QString *error)
{
    unlock();
    const int fd = openLockFile(path, error);
    if (fd < 0)
        return Result::Failed;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return Result::Busy;
        if (error)
            *error = errnoText(QStringLiteral("cannot lock %1").arg(path), code);
        return Result::Failed;
    }
    _fd = fd;
    return Result::Locked;
}

QMFileLock::Result QMFileLock::lock(const QString &path, int timeoutMs, QString *error)
{
    // Polled rather than a blocking flock(): a holder that never lets go must not hang
    // the caller for good.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const Result result = tryLock(path, error);
        if (result != Result::Busy || waited.elapsed() >= timeoutMs)
            return result;
        QThread::msleep(10);
    }
}

void QMFileLock::unlock()
{
    if (_fd < 0)
        return;
    if (_wroteHolder && ::ftruncate(_fd, 0) != 0) {
        // A stale name left in the file is only misleading, never wrong for the lock.
    }
    ::close(_fd); // closing the last descriptor of the open file lets go of the lock
    _fd = -1;
    _wroteHolder = false;
}

bool QMFileLock::writeHolder(const QByteArray &text)
{
    if (_fd < 0)
        return false;
    // Written over the old text, then cut to its length: a reader never finds it empty.
    _wroteHolder = true;
    if (::pwrite(_fd, text.constData(), static_cast<size_t>(text.size()), 0) != text.size())
        return false;
    return ::ftruncate(_fd, static_cast<off_t>(text.size())) == 0;
}

QByteArray QMFileLock::readHolder(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buffer[512];
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            text = QByteArray(buffer, static_cast<qsizetype>(n));
    }
    ::close(fd);
    return text;
}
