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
class QMFileCopier
{
public:
    struct Failure
    {
        QByteArray path; // the item that could not be read or written
        int errnum = 0;
    };

    // Copies `src` to `dst`, which must not exist. True when everything was copied.
    bool copyItem(const QByteArray &src, const QByteArray &dst);

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
    void copyAny(const QByteArray &src, const QByteArray &dst);
    void copyFile(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copyDirectory(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copySymlink(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copySpecial(const QByteArray &src, const QByteArray &dst, const struct stat &st);
    void copyXattrs(const QByteArray &src, int srcFd, const QByteArray &dst, int dstFd);

    static constexpr int kKeptFailures = 20;
    QList<Failure> _failures;
    int _failureCount = 0;
    // Files with several names: (device, inode) to the path of their first copy.
    QMap<QPair<quint64, quint64>, QByteArray> _linked;
};
