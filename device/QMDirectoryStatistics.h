#pragma once

#include <QString>
#include <QtGlobal>

// Sums of a directory tree, filled by the statistics scan. The caller zeroes it; the
// scan only adds to it.
struct QMDirectoryStatistics
{
    quint64 totalSize = 0;      // bytes of all regular files
    quint64 fileCount = 0;      // regular files
    quint64 directoryCount = 0; // subdirectories, the start directory not counted
    quint64 linkCount = 0;      // symbolic links, never followed
};

// Result codes of the two scans.
enum : qint32 {
    QMScanDone = 0,           // ran to its end (file test: no regular file)
    QMScanFoundFile = 1,      // file test only: a regular file exists
    QMScanNoPath = -1,        // missing or empty path
    QMScanCannotOpen = -2,    // the directory cannot be opened
    QMScanNoMemory = -3,      // no memory for the entry-path buffer
    QMScanPathTooLong = -4,   // an entry path would be 1023 bytes or longer
};

// Scans `path` into `statistics`; refuses "/" and the default volume parent without
// scanning. True only when the scan ran to its end. No flags are defined; pass 0.
bool QMGetDirectoryStatistics(QMDirectoryStatistics *statistics, quint32 flags, const QString &path);

// The statistics scan itself; one of the result codes.
qint32 GetDirectoryStatistics(const char *dirPath, QMDirectoryStatistics *statistics);

// QMScanFoundFile when the tree holds at least one regular file, else QMScanDone or an
// error code.
qint32 DirectoryContainsAtLeastFile(const char *dirPath);
