#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

// Copies file trees as they are. Names are raw bytes from end to end, since a name that is
// not valid UTF-8 does not survive a round trip through a string. Kept: file contents
// with the holes of sparse files, hard links between files copied by the same copier,
// extended attributes of files, directories and symbolic links, modes, owners (where
// permitted) and times. Nothing is flushed here; the caller flushes the destination once.
//
// Every item that could not be copied is recorded and the copy goes on with the next
// one: a copy with a single failure is still a failed copy, and the caller is told which
// items are missing.
//
// Incremental copies: given a complete earlier copy of the same tree (the reference), a
// regular file that has not changed since is hard-linked from it instead of copied. The
// copier never writes into a file it did not create, so a linked file is never changed
// through the new copy; a later copy links or copies it again, never rewrites it.
//
// A copy can also be brought up to date in place: given an older complete copy at the
// destination (see setOlderCopyTime()), a file unchanged since that copy began stays as
// it is there, and everything else is removed and made anew, never written into, since
// the older copy's files may be hard links shared with a newer copy. Items the source
// no longer holds are removed and folders get the source's metadata again.
//
// A file is taken by its path, but renaming a folder changes the status of the folder
// only, not of the files in it: after two folders swapped names, a file of one can look
// like the unchanged file of the other at the same place (same size, mode and time, as
// files of an archive or of a reproducible build are). So every folder of a copy records
// which source folder it was made from (see setRecordsSourceFolders()), and files are
// taken from a folder of the reference or the older copy only when it was made from the
// same source folder, and only below folders that were too.
//
// A file that a process maps shared and writable can change without its times moving (a
// write to a page that is already dirty, or any write on a memory file system): such a
// file is always copied, and the copies of it are listed (copiedWhileMapped()) so that the
// next copy does not take them from this one either.
class QMFileCopier
{
public:
    struct Failure
    {
        QByteArray path; // the item that could not be read or written
        int errnum = 0;
    };

    struct Statistics
    {
        quint64 filesCopied = 0;
        quint64 bytesCopied = 0; // file sizes, holes included
        quint64 filesLinked = 0; // unchanged files linked from the reference or kept from the older copy
        quint64 bytesLinked = 0; // their sizes
        quint64 itemsGone = 0;   // removed between the listing of their folder and their copy
        quint64 bytesCopiedInKernel = 0; // of bytesCopied, copied by the kernel (copy_file_range)
    };

    // A file by its device and inode number.
    using FileKey = QPair<quint64, quint64>;

    // Copies `src` to `dst`, which must not exist. True when everything was copied.
    // `reference`, when given, is the place of `src` in an earlier complete copy (see
    // setReferenceTime()).
    // With an older copy (setOlderCopyTime()), `dst` may exist and is brought up to date.
    // *present (when given) is false when `src` was gone (see setSkipsVanishedItems()).
    bool copyItem(const QByteArray &src, const QByteArray &dst, const QByteArray &reference = QByteArray(),
                  bool *present = nullptr);

    // When the reference copy was begun. A file is taken from the reference only when its
    // size, modification time (to the nanosecond), type and permissions and owner are
    // those of its copy there, and both its modification and its status change time are
    // well before that copy began. The status change time moves with every change of
    // contents, attributes, owner, mode or name and no program can set it back, so a file
    // edited and then given its old time again (touch -r, cp -p, rsync -t) is copied; the
    // margin covers a file written within the same tick of the file system's clock as the
    // reference began. Without a time, nothing is taken from the reference.
    void setReferenceTime(const struct timespec &begun);
    // The destination holds an older complete copy of the same tree, begun at `begun`: a
    // file is kept there by the rule above, else the item is made anew (see above).
    void setOlderCopyTime(const struct timespec &begun);
    // Source files mapped shared and writable when the copy began: always copied.
    void setMappedFiles(const QSet<FileKey> &files) { _mapped = files; }
    // Files of the reference (and of the older copy) that were copied while mapped: they
    // may be older than what their source held when that copy was made, so they are
    // never linked or kept.
    void setUnsettledReferenceFiles(const QSet<FileKey> &files) { _unsettled = files; }
    // The inode numbers of the copies made of mapped files, in this copy.
    const QList<quint64> &copiedWhileMapped() const { return _copiedWhileMapped; }
    // An item that vanishes between the listing of its folder and its copy (a temporary
    // file that a build or a browser removed meanwhile) is counted in itemsGone rather
    // than as a failure. Only for copies of a live volume; a restore reads a backup,
    // where a missing item is damage.
    void setSkipsVanishedItems(bool skips) { _skipsVanished = skips; }
    // A file whose data runs out of space is written again once after the destination was
    // flushed: ext4 holds blocks back for data not yet written out, which a nearly full
    // volume needs (a restore of what filled the RAM disk before).
    void setFlushesWhenFull(bool flushes) { _flushesWhenFull = flushes; }
    // Records on each folder of the copy the source folder it was made from (for a copy
    // of a volume, which later copies take files from); never read from a source or
    // copied to a destination as an attribute of the tree.
    void setRecordsSourceFolders(bool records) { _recordsSourceFolders = records; }
    // The record: the source folder's inode number, native 64-bit. Inode numbers of a
    // mounted volume are stable; after a restore, whose files are all new, nothing is
    // taken anyway.
    static constexpr char kSourceFolderAttribute[] = "user.org.quilmo.source-folder";
    // Whether the copy's folder (open at `copyFd`, else at `copyPath`) was made from the
    // source folder of status `source`. Also true where the copy's file system cannot hold
    // the record: files are then taken by their paths alone.
    static bool folderMadeFrom(int copyFd, const QByteArray &copyPath, const struct stat &source);
    // Records `source` on the copy's folder open at `copyFd`; a copy without the record
    // only costs the next copy the linking of that folder's files.
    static void recordSourceFolder(int copyFd, const struct stat &source);
    // Removes the records from every folder of the tree at `top` (a copy that becomes the
    // user's own folder), without following links or leaving its file system.
    static void clearSourceFolderRecords(const QByteArray &top);
    const Statistics &statistics() const { return _statistics; }

    bool failed() const { return _failureCount > 0; }
    int failureCount() const { return _failureCount; }
    // The first failures, in the order met (a bounded number are kept).
    const QList<Failure> &failures() const { return _failures; }
    // The failure met last, whatever their number.
    const Failure &lastFailure() const { return _lastFailure; }
    // "<why> (<path>)" of the first failure, then "and N more items not copied".
    QString summary() const;

    // A path for messages: raw bytes that are not UTF-8 are shown as \xNN.
    static QString displayPath(const QByteArray &path);
    static QString describe(const Failure &failure);

    // The names in a directory, "." and ".." left out, as raw bytes.
    static bool listDirectory(const QByteArray &path, QList<QByteArray> *names, int *errnum);
    // Flushes the file system of `fd` to stable storage (syncfs). It reports the write-back
    // errors met since `fd` was opened, so open it before writing the copy.
    static bool syncFileSystem(int fd, int *errnum);
    // Makes the renames and creations in a directory durable (fsync of the directory).
    static bool syncDirectory(const QByteArray &path, int *errnum);

private:
    void fail(int errnum, const QByteArray &path);
    // Counts a vanished item when that is allowed; false when it is a failure.
    bool gone(int errnum);
    // The open folders of an item in the source, the copy and the reference, and its name:
    // the item is reached from there rather than by its whole path. At the top, where no
    // folder is open (-1), the paths are used.
    struct Parents
    {
        int src = -1;
        int dst = -1;
        int ref = -1;
        const char *name = nullptr;
        bool older = false; // the copy's folder holds an older copy of the source's items
        int dirOf(int fd) const { return fd >= 0 ? fd : AT_FDCWD; }
        const char *pathOf(int fd, const QByteArray &path) const { return fd >= 0 ? name : path.constData(); }
    };
    // False when the source item was gone.
    bool copyAny(const QByteArray &src, const QByteArray &dst, const QByteArray &reference, const Parents &parents);
    // Whether `copy`, made in a copy begun at `begun`, holds what the source file of
    // status `st` holds, and may stand for it in this copy.
    bool standsFor(const struct stat &st, const struct stat &copy, const struct timespec &begun) const;
    // The older copy's item `old` at `dst`: kept when it is the source item unchanged (a
    // file) or brought up to date (a folder); else removed. False when the source item is
    // still to be copied (anew) there.
    bool updateOlder(const QByteArray &src, const QByteArray &dst, const struct stat &st, const struct stat &old,
                     const QByteArray &reference, const Parents &parents);
    void copyFile(const QByteArray &src, const QByteArray &dst, const struct stat &st, const QByteArray &reference,
                  const Parents &parents);
    // Links `dst` to the reference's file when that is the source (of status `st`)
    // unchanged; false otherwise.
    bool linkUnchanged(const QByteArray &dst, const struct stat &st, const QByteArray &reference,
                       const Parents &parents);
    void copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                       const QByteArray &reference, const Parents &parents);
    // Brings the older copy's folder at `dst` up to date; false when it cannot be (it is
    // then removed and copied anew), or was made from another source folder.
    bool updateDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                         const QByteArray &reference, const Parents &parents);
    // Copies the items of the folder `dir` (the source folder `src`, open) into the copy's
    // folder `dstFd`; with `older`, that folder holds an older copy, and what the source
    // no longer holds is removed from it. Then the folder's attributes, owner, mode and times.
    void copyEntries(const QByteArray &src, DIR *dir, const QByteArray &dst, int dstFd, const QByteArray &reference,
                     int refFd, const struct stat &st, bool older);
    void copySymlink(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copySpecial(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    // True when an attribute was set.
    // With `dropOthers`, attributes of the copy that the source does not have are removed.
    bool copyXattrs(const QByteArray &src, int srcFd, const QByteArray &dst, int dstFd, bool dropOthers = false);
    // What a file created beside `dst` gets by itself (see copyFile()); false after a failure.
    bool lookAtDestination(const QByteArray &dst);

    static constexpr int kKeptFailures = 20;
    QList<Failure> _failures;
    Failure _lastFailure;
    int _failureCount = 0;
    bool _skipsVanished = false;
    bool _flushesWhenFull = false;
    bool _recordsSourceFolders = false;
    QSet<FileKey> _mapped;
    QSet<FileKey> _unsettled;
    QList<quint64> _copiedWhileMapped;
    // Files with several names: (device, inode) to the path of their first copy.
    QMap<FileKey, QByteArray> _linked;
    // Reference files taken so far: (device, inode) there to the (device, inode) of the
    // source file they stand for. A reference file stands for one source file only, so
    // two names that are one file in the reference but two files now become two files.
    QMap<FileKey, FileKey> _taken;
    // Pairs of file systems (source device, destination device) between which the kernel
    // refused to copy: read and written from then on.
    using DevicePair = QPair<quint64, quint64>;
    QSet<DevicePair> _noKernelCopy;
    quint64 _destinationDevice = 0;
    quint32 _createdOwner = 0;
    quint32 _createdGroup = 0;
    bool _createdModesKept = false;
    int _umask = -1;
    bool _haveReferenceTime = false;
    struct timespec _referenceTime {};
    bool _haveOlderTime = false;
    struct timespec _olderTime {};
    Statistics _statistics;
};
