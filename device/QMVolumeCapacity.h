#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// What a fresh RAM disk of a given size holds, as quilmo-disktool makes it (QMFormatRules).
// A memory instance holds its whole size (in whole pages) and a fixed number of items. A
// loop device's ext4 is formatted with 4096-byte blocks, 256-byte inodes, the smallest
// journal, no reserved or resize blocks, lost+found removed, and the mounted file system's
// own reserve; `inodeCount` is what the creation asks its format for (0: the default, one
// inode per 16 KiB), and the format never gives fewer than that. Creation checks a backup
// or base against these before it attaches anything.

enum class QMRamDeviceKind { MemoryInstance, LoopDevice };

// The kind of device the disk tool makes on this kernel (QMKernelFeatures).
QMRamDeviceKind QMRamDeviceKindForNewRamDisks();
// The kind of an attached device, by its name.
QMRamDeviceKind QMRamDeviceKindOfDevice(const QString &deviceNode);

// Inodes the file system gets for a device of `size` bytes (all of them, the reserved
// ones included, as statvfs reports them in f_files).
quint64 QMInodesForSize(quint64 size, quint64 inodeCount = 0, QMRamDeviceKind kind = QMRamDeviceKindForNewRamDisks());

// Inodes left for the user's items on a fresh volume: the first ones are the file system's.
quint64 QMFreeInodesForSize(quint64 size, quint64 inodeCount = 0,
                            QMRamDeviceKind kind = QMRamDeviceKindForNewRamDisks());

// Bytes free on a fresh volume of `size` bytes, never more than the real figure: for ext4
// the metadata of the format (inode tables, bitmaps, group descriptors and their copies)
// is counted from the same parameters as the inode count.
quint64 QMUsableBytesForSize(quint64 size, quint64 inodeCount = 0,
                             QMRamDeviceKind kind = QMRamDeviceKindForNewRamDisks());

// What a directory tree occupies: the bytes its items have allocated on disk (st_blocks,
// so holes of sparse files cost nothing) and the inodes it needs (hard links count once).
struct QMDirectoryUsage
{
    quint64 allocatedBytes = 0;
    quint64 inodes = 0; // items below the directory, the directory itself not counted
};

// Walks `path` (raw bytes) without following symbolic links. False when any part of the
// tree could not be read: the figures would then be too small to trust. *error says where.
bool QMGetDirectoryUsage(const QByteArray &path, QMDirectoryUsage *usage, QString *error);
