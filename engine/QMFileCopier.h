#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

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
    };

    // Copies `src` to `dst`, which must not exist. True when everything was copied.
    // `reference`, when given, is the place of `src` in an earlier complete copy (see
    // setReferenceTime()).
    bool copyItem(const QByteArray &src, const QByteArray &dst, const QByteArray &reference = QByteArray());

    // When the reference copy was begun. A file is taken from the reference only when its
    // size, modification time (to the nanosecond), type and permissions, owner and
    // extended attributes are those of its copy there, and it was last modified well
    // before that copy began: a file written while it was being copied, within the same
    // tick of the file system's clock, keeps its time while its contents changed. Without
    // a time, nothing is taken from the reference.
    void setReferenceTime(const struct timespec &begun);
    const Statistics &statistics() const { return _statistics; }

    bool failed() const { return _failureCount > 0; }
    int failureCount() const { return _failureCount; }
    // The first failures, in the order met (a bounded number are kept).
    const QList<Failure> &failures() const { return _failures; }
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
    void copyAny(const QByteArray &src, const QByteArray &dst, const QByteArray &reference);
    void copyFile(const QByteArray &src, const QByteArray &dst, const struct stat &st, const QByteArray &reference);
    // Links `dst` to the reference's file when that is `src` unchanged; false otherwise.
    bool linkUnchanged(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                       const QByteArray &reference);
    void copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st,
                       const QByteArray &reference);
    void copySymlink(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copySpecial(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copyXattrs(const QByteArray &src, int srcFd, const QByteArray &dst, int dstFd);

    static constexpr int kKeptFailures = 20;
    QList<Failure> _failures;
    int _failureCount = 0;
    // Files with several names: (device, inode) to the path of their first copy.
    QMap<QPair<quint64, quint64>, QByteArray> _linked;
    // Reference files taken so far: (device, inode) there to the (device, inode) of the
    // source file they stand for. A reference file stands for one source file only, so
    // two names that are one file in the reference but two files now become two files.
    QMap<QPair<quint64, quint64>, QPair<quint64, quint64>> _taken;
    bool _haveReferenceTime = false;
    struct timespec _referenceTime {};
    Statistics _statistics;
};
