#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QString>

#include <fcntl.h>

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
        quint64 filesLinked = 0; // unchanged files linked from the reference
        quint64 itemsGone = 0;   // removed between the listing of their folder and their copy
        quint64 bytesCopiedInKernel = 0; // of bytesCopied, copied by the kernel (copy_file_range)
    };

    // A file by its device and inode number.
    using FileKey = QPair<quint64, quint64>;

    // Copies `src` to `dst`, which must not exist. True when everything was copied.
    // `reference`, when given, is the place of `src` in an earlier complete copy (see
    // setReferenceTime()).
    bool copyItem(const QByteArray &src, const QByteArray &dst, const QByteArray &reference = QByteArray());

    // When the reference copy was begun. A file is taken from the reference only when its
    // size, modification time (to the nanosecond), type and permissions and owner are
    // those of its copy there, and both its modification and its status change time are
    // well before that copy began. The status change time moves with every change of
    // contents, attributes, owner, mode or name and no program can set it back, so a file
    // edited and then given its old time again (touch -r, cp -p, rsync -t) is copied; the
    // margin covers a file written within the same tick of the file system's clock as the
    // reference began. Without a time, nothing is taken from the reference.
    void setReferenceTime(const struct timespec &begun);
    // Source files mapped shared and writable when the copy began: always copied.
    void setMappedFiles(const QSet<FileKey> &files) { _mapped = files; }
    // Files of the reference that were copied while mapped: they may be older than what
    // their source held when the reference was made, so they are never linked.
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
        int dirOf(int fd) const { return fd >= 0 ? fd : AT_FDCWD; }
        const char *pathOf(int fd, const QByteArray &path) const { return fd >= 0 ? name : path.constData(); }
    };
    void copyAny(const QByteArray &src, const QByteArray &dst, const QByteArray &reference, const Parents &parents);
    void copyFile(const QByteArray &src, const QByteArray &dst, const struct stat &st, const QByteArray &reference,
                  const Parents &parents);
    // Links `dst` to the reference's file when that is the source (of status `st`)
    // unchanged; false otherwise.
    bool linkUnchanged(const QByteArray &dst, const struct stat &st, const QByteArray &reference,
                       const Parents &parents);
    void copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                       const QByteArray &reference, const Parents &parents);
    void copySymlink(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copySpecial(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    // True when an attribute was set.
    bool copyXattrs(const QByteArray &src, int srcFd, const QByteArray &dst, int dstFd);
    // What a file created beside `dst` gets by itself (see copyFile()); false after a failure.
    bool lookAtDestination(const QByteArray &dst);

    static constexpr int kKeptFailures = 20;
    QList<Failure> _failures;
    Failure _lastFailure;
    int _failureCount = 0;
    bool _skipsVanished = false;
    bool _flushesWhenFull = false;
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
    Statistics _statistics;
};
