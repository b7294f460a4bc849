#pragma once

#include "QMError.h"
#include "QMFileCopier.h"
#include "QMVolumeCapacity.h"

#include <QString>
#include <QStringList>

// Copies the top level of a mounted RAM disk into a directory on disk and back. A new
// backup is written beside the old one under "<backup>.partial", flushed to stable
// storage, and only then switched in: the old one goes to "<backup>.<previousExt>" and is
// discarded (removed behind the save) once the new one is in place. A copy that missed anything is a failure and
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
    // The same; *statistics gets what was copied and what was kept.
    QMError::Ptr backupRamDiskAtPath(const QString &path, const QString &backupPath, const QString &previousExt,
                                     QMFileCopier::Statistics *statistics);
    // Restores the complete copy of `backupDirPath` (see restoreSourceOf()); nothing when
    // there is none yet. An error names the items that could not be copied. *source gets
    // the copy that was used, null when none.
    QMError::Ptr restoreRamDiskAtPath(const QString &path, const QString &backupDirPath);
    QMError::Ptr restoreRamDiskAtPath(const QString &path, const QString &backupDirPath, QString *source);

    // The name extension of a copy being written ("partial"): never a restore source.
    static QString partialExtension();
    // Takes a replaced copy out of the way at once (renamed to "<copyPath>.discarded-…")
    // and removes it on a thread of its own: a save is done once its copy is in, not once
    // thousands of old files are unlinked. False when it could not even be renamed.
    static bool discardItemAtPath(const QString &path, const QString &copyPath, QString *error);
    // Removes what a discard left beside `copyPath` when the program ended during it.
    static void removeLeftoverDiscards(const QString &copyPath);
    // Waits until every discard of this process is done (tests, and a program that quits).
    static void waitForDiscards();
    // The complete copy kept for `backupPath`: the path itself, else its previous copy (a
    // switch was interrupted); null when there is neither.
    static QString restoreSourceOf(const QString &backupPath, const QString &previousExt);
    // Whether `source` fits on a fresh RAM disk of `ramDiskSize` bytes: its bytes as
    // allocated on disk and its number of items against what the format provides. The
    // error says what does not fit; `what` names the source in it ("backup", "base"). The
    // format is taken to give the inodes the creation asks for such a tree
    // (QMRamDiskDevice::inodeCountForItems); *items (when given) is the tree's item count.
    QMError::Ptr checkRoomForCopy(const QString &source, quint64 ramDiskSize, const QString &what,
                                  quint64 *items = nullptr);
    // The same for a tree measured already.
    static QMError::Ptr checkRoom(const QMDirectoryUsage &usage, quint64 ramDiskSize, const QString &what,
                                  const QString &source);

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
