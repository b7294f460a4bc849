#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One mounted file system: its type name, mount point and mounted device (source).
struct QMMountEntry
{
    QString fsType;
    QString mountPoint;
    QString device;
};

// The system's mount table, read from /proc/self/mountinfo.
class QMMountTable
{
public:
    // The file-system type name of a RAM disk's volume ("hfs" on the other platform):
    // "tmpfs" for a memory instance, "ext4" for a loop device.
    static QString ramDiskFileSystemType(const QString &deviceNode);

    // Whether a device node names a memory instance ("quilmo-ramN") rather than a loop
    // device.
    static bool isMemoryInstanceName(const QString &deviceNode);

    // Whether an entry shows a RAM disk's volume to the user: a loop device's ext4, or a
    // memory instance's tmpfs anywhere but in the disk tool's private place (where the
    // instance itself is mounted, out of every user's reach).
    static bool isRamDiskVolume(const QMMountEntry &entry);

    // Every mount, in table order; none when the table cannot be read (errno in *errnum).
    static std::optional<QList<QMMountEntry>> entries(int *errnum = nullptr);

    // The entries of a mountinfo text; malformed lines are skipped.
    static QList<QMMountEntry> parseMountInfo(const QByteArray &text);

    // A mountinfo field with its octal escapes (\040, \011, \012, \134) decoded.
    static QString decodeField(const QByteArray &field);
};
