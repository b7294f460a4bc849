#pragma once

#include "QMError.h"

#include <QString>
#include <QStringList>

// Copies the top level of a mounted RAM disk into a directory on disk and back. The
// previous backup stays under "<backup>.<previousExt>" until a new one is complete. The
// instance keeps no state: concurrent calls for different RAM disks do not interfere.
//
// The class also holds the small file-manager operations the engine needs: they report
// failures as a text ("strerror: path") for the caller's log line and error cause.
class QMRamDiskBackup
{
public:
    static QMRamDiskBackup *sharedInstance();

    QMError::Ptr backupRamDiskAtPath(const QString &path, const QString &backupPath, const QString &previousExt);
    QMError::Ptr restoreRamDiskAtPath(const QString &path, const QString &backupDirPath);

    // Asked by the copier after each failure inside a copied item: always go on, so that one
    // unreadable file does not stop the copy of the rest of its folder.
    bool fileManager(const QMRamDiskBackup *fileManager, const QString &shouldProceedAfterError,
                     const QString &copyingItemAtPath, const QString &toPath) const;

    // True when the item is volume-system hidden or a system file name in the sense of
    // backup, restore and clean-up (".DS_Store" and "Icon\r" are user content there).
    static bool isExcludedFromCopy(const QString &name);

    // ---- File operations ----
    // Lists a directory's names, "." and ".." left out, hidden names included.
    static bool contentsOfDirectoryAtPath(const QString &path, QStringList *names, QString *error);
    // lstat: a dangling symbolic link exists.
    static bool fileExistsAtPath(const QString &path, bool *isDirectory = nullptr);
    // Recursive; a missing item is a failure.
    static bool removeItemAtPath(const QString &path, QString *error);
    // rename(2) only: never a copy behind the caller's back.
    static bool moveItemAtPath(const QString &path, const QString &toPath, QString *error);
    static bool createDirectoryAtPath(const QString &path, QString *error);
    // Recursive copy keeping modes, owners (where permitted), times, extended attributes and
    // symbolic links. Fails for a destination that exists. Inner failures are skipped and
    // reported at the end: the result is then false with the first failure and their count.
    static bool copyItemAtPath(const QString &path, const QString &toPath, QString *error);
};
