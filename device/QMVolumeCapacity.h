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
// so holes of sparse files cost nothing) and the inodes it needs (hard links count once);
// and what it takes once copied onto a RAM disk, whatever the disk it is on now does
// (its block size, compression, small files kept inline, blocks reserved ahead).
struct QMDirectoryUsage
{
    quint64 allocatedBytes = 0;
    quint64 inodes = 0; // items below the directory, the directory itself not counted
    // The data of its files in 4096-byte blocks, holes left out (as a copy keeps them),
    // and a block for each symbolic link whose target is too long to live in its inode.
    quint64 dataBytes = 0;
    quint64 directories = 0; // folders below the directory
};

// What the items of `usage` take on a RAM disk: their data, and a block for each folder on
// a file system whose folders take blocks (ext4; a memory file system's take none). A tree
// copied from a RAM disk needs no more than it took there.
quint64 QMBytesNeededOnVolume(const QMDirectoryUsage &usage, bool foldersTakeBlocks);

// Walks `path` (raw bytes) without following symbolic links. False when any part of the
// tree could not be read: the figures would then be too small to trust. *error says where.
bool QMGetDirectoryUsage(const QByteArray &path, QMDirectoryUsage *usage, QString *error);
