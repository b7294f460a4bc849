#include "QMVolumeRoot.h"

#include "QMExtendedAttributes.h"
#include "QMStringsFile.h"

#include <QFile>
#include <QVariantMap>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

QString errnoText(int errnum)
{
    return QString::fromLocal8Bit(strerror(errnum));
}

QString &standInRoot()
{
    static QString path;
    return path;
}

} // namespace

void QMVolumeRoot::setStandInRootForTesting(const QString &path)
{
    standInRoot() = path;
}

QMUniqueFd QMVolumeRoot::open(const QString &path, const QString &identifier, QString *why)
{
    QString unused;
    if (!why)
        why = &unused;
    if (path.isEmpty() || identifier.isEmpty()) {
        *why = QStringLiteral("no RAM disk path");
        return {};
    }
    QMUniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid()) {
        *why = QStringLiteral("%1: %2").arg(path, errnoText(errno));
        return {};
    }
    if (!standInRoot().isEmpty() && path == standInRoot())
        return fd;
    // Both checks are made on the descriptor itself, not on the path again.
    struct statx sx {};
    if (statx(fd.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &sx) != 0
        || !(sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) || !(sx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
        *why = QStringLiteral("%1 is not a mounted volume").arg(path);
        return {};
    }
    char buffer[4096];
    const ssize_t length = fgetxattr(fd.get(), QMVolumeTagAttributeName, buffer, sizeof buffer);
    QVariantMap tag;
    if (length <= 0 || !QMStringsFile::mapFromUtf8(QByteArray(buffer, length), &tag)
        || tag.value(QStringLiteral("identifier")).toString() != identifier) {
        *why = QStringLiteral("%1 is not this RAM disk's volume").arg(path);
        return {};
    }
    return fd;
}

QMUniqueFd QMVolumeRoot::openBeneath(int rootFd, const QByteArray &relativePath, int flags, QString *why)
{
    QString unused;
    if (!why)
        why = &unused;
    const QByteArray relative = relativePath.isEmpty() ? QByteArray(".") : relativePath;
    const QString shown = relativePath.isEmpty() ? QStringLiteral(".") : QFile::decodeName(relativePath);
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = quint64(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const long fd = syscall(SYS_openat2, rootFd, relative.constData(), &how, sizeof how);
    if (fd >= 0)
        return QMUniqueFd(int(fd));
    switch (errno) {
    case ELOOP:
        *why = QStringLiteral("%1 is or passes through a symbolic link").arg(shown);
        break;
    case EXDEV:
        *why = QStringLiteral("%1 lies outside the RAM disk").arg(shown);
        break;
    default:
        *why = QStringLiteral("%1: %2").arg(shown, errnoText(errno));
        break;
    }
    return {};
}
