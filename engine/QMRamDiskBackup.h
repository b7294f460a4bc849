#pragma once

#include "QMError.h"
#include "QMFileCopier.h"
#include "QMVolumeCapacity.h"

#include <QString>
#include <QStringList>

// Copies the top level of a mounted RAM disk into a directory on disk and back. A new
// backup is written beside the old one under "<backup>.partial", flushed to stable
// storage, and only then switched in: the old one goes to "<backup>.<previousExt>" and is
// discarded (removed behind the save) once the new one is in place, or kept under
// "<backup>.older" for the next save to bring up to date (see olderCopyExtension()). A copy that missed anything is a failure and
// switches nothing. Files that did not change since the last complete copy are hard links
// of it in the new one (see QMFileCopier), so a save costs what changed; the top directory
// of a copy is dated with the moment the copy began. The instance keeps no state: concurrent calls for different RAM
// disks do not interfere.
//
// The class also holds the small file-manager operations the engine needs: they report
// failures as a text ("strerror: path") for the caller's log line and error cause.
class QMRamDiskBackup
{
public:
    static QMRamDiskBackup *sharedInstance();

    QMError::Ptr backupRamDiskAtPath(const QString &path, const QString &backupPath, const QString &previousExt);
    // The same; *statistics gets what was copied and what was kept. With
    // `keepsOlderCopy`, the replaced copy is kept for the next save (see
    // olderCopyExtension()): only for a copy that stays a copy, since the older one shares
    // files with it (a base put back in place would be changed through it, and leave it
    // behind).
    QMError::Ptr backupRamDiskAtPath(const QString &path, const QString &backupPath, const QString &previousExt,
                                     QMFileCopier::Statistics *statistics, bool keepsOlderCopy = false);
    // Restores the complete copy of `backupDirPath` (see restoreSourceOf()); nothing when
    // there is none yet. An error names the items that could not be copied. *source gets
    // the copy that was used, null when none.
    QMError::Ptr restoreRamDiskAtPath(const QString &path, const QString &backupDirPath);
    QMError::Ptr restoreRamDiskAtPath(const QString &path, const QString &backupDirPath, QString *source);

    // The name extension of a copy being written ("partial"): never a restore source.
    static QString partialExtension();
    // The name extension of the copy before the current one ("older"), kept after a save
    // that shares most files with it, so that the next save brings it up to date in
    // place (under the partial name) rather than making a copy anew: never a restore
    // source.
    static QString olderCopyExtension();
    // Takes a replaced copy out of the way at once (renamed to "<copyPath>.discarded-…")
    // and removes it on a thread of its own: a save is done once its copy is in, not once
    // thousands of old files are unlinked. False when it could not even be renamed.
    static bool discardItemAtPath(const QString &path, const QString &copyPath, QString *error);
    // Removes what a discard left beside `copyPath` when the program ended during it.
    static void removeLeftoverDiscards(const QString &copyPath);
    // Waits until every discard of this process is done (tests, and a program that quits).
    static void waitForDiscards();
    // The complete copy kept for `backupPath`: the path itself, else its previous copy (a
    // switch was interrupted); null when there is neither. A symbolic link at
    // `backupPath` leads to the copy (see resolvedCopyPath()).
    static QString restoreSourceOf(const QString &backupPath, const QString &previousExt);
    // Where the copies for `copyPath` are made: the target of a symbolic link there,
    // followed to the end, else the path itself.
    static QString resolvedCopyPath(const QString &copyPath);
    // Whether the copy at `copyPath` holds files that were mapped shared and writable when
    // it was made (their sources may have changed since without a trace in their times),
    // or could not record them: the volume then counts as changed.
    static bool copyHasUnsettledFiles(const QString &copyPath);
    // Takes the bookkeeping of a copy off its top directory, once that directory becomes
    // an ordinary folder of the user's (a base put back in place).
    static void clearCopyMarks(const QString &path);
    // Whether `source` can fit on a fresh RAM disk of `ramDiskSize` bytes: what its items
    // take on a RAM disk (QMBytesNeededOnVolume), not what they allocate where they are,
    // and its number of items against what the format provides (the creation asks for
    // the inodes such a tree needs, QMRamDiskDevice::inodeCountForItems). The error says
    // what does not fit; `what` names the source in it ("backup", "base"). *measured
    // (when given) gets the tree's usage, for checkRoomOnVolume().
    QMError::Ptr checkRoomForCopy(const QString &source, quint64 ramDiskSize, const QString &what,
                                  QMDirectoryUsage *measured = nullptr);
    // The same for a tree measured already; before anything is attached, it refuses only
    // what can fit on no RAM disk of that size.
    static QMError::Ptr checkRoom(const QMDirectoryUsage &usage, quint64 ramDiskSize, const QString &what,
                                  const QString &source);
    // Whether the tree fits on the fresh volume mounted at `volumePath`: what it takes on
    // that volume's file system against the space and items the volume has free.
    QMError::Ptr checkRoomOnVolume(const QMDirectoryUsage &usage, const QString &volumePath, quint64 ramDiskSize,
                                   const QString &what, const QString &source);

    // Whether a copy goes on after a failure inside an item: always, so that one unreadable
    // file does not stop the copy of the rest (the copy is then reported as failed).
    bool fileManager(const QMRamDiskBackup *fileManager, const QString &shouldProceedAfterError,
                     const QString &copyingItemAtPath, const QString &toPath) const;

    // True for the top-level names that copies leave out: only an empty lost+found, the
    // file system's own. `name` is raw bytes of an entry of `dirPath`.
    static bool isExcludedFromCopy(const QByteArray &dirPath, const QByteArray &name);
    // The names that clean-up leaves in place: the other platform's volume-system and
    // folder bookkeeping names. Removing less than asked is the safe side of a deletion.
    static bool isSystemNameKeptByCleanUp(const QString &name);

    // ---- File operations ----
    // Lists a directory's names, "." and ".." left out, hidden names included.
    static bool contentsOfDirectoryAtPath(const QString &path, QStringList *names, QString *error);
    // lstat: a dangling symbolic link exists.
    static bool fileExistsAtPath(const QString &path, bool *isDirectory = nullptr);
    // Recursive, through QMFileRemover (no link followed, no mount entered); a missing
    // item is a failure.
    static bool removeItemAtPath(const QString &path, QString *error);
    // rename(2) only: never a copy behind the caller's back.
    static bool moveItemAtPath(const QString &path, const QString &toPath, QString *error);
    static bool createDirectoryAtPath(const QString &path, QString *error);
    // Recursive copy of one item (see QMFileCopier). Fails for a destination that exists.
    // Inner failures are skipped and reported at the end: the result is then false with
    // the first failure and their count.
    static bool copyItemAtPath(const QString &path, const QString &toPath, QString *error);
};
