#pragma once

#include "QMUniqueFd.h"

#include <QByteArray>
#include <QString>

// A mounted RAM disk's root, held as a descriptor: actions on its files resolve their
// names beneath it at the moment they act, so that a folder swapped for a symbolic link
// after a menu or a listing was made is refused instead of followed out of the volume.
class QMVolumeRoot
{
public:
    // Opens `path` when it is the root of a mounted volume whose tag names `identifier`;
    // invalid otherwise, with *why.
    static QMUniqueFd open(const QString &path, const QString &identifier, QString *why);

    // Opens `relativePath` ("" for the root itself) beneath the directory open at `rootFd`
    // with `flags` (O_CLOEXEC is added): no symbolic link anywhere on the way, no "..",
    // nothing outside and no other mount (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS |
    // RESOLVE_NO_XDEV). Invalid with *why otherwise.
    static QMUniqueFd openBeneath(int rootFd, const QByteArray &relativePath, int flags, QString *why);

    // Screenshots: an ordinary folder that open() takes for a RAM disk's volume; a null
    // path ends that.
    static void setStandInRootForTesting(const QString &path);
};
