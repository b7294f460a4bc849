#include "QMVolumeCapacity.h"

#include "QMFormatRules.h"
#include "QMKernelFeatures.h"
#include "QMMountTable.h"
#include "QMNextDirEntry.h"

#include <QSet>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint64 kBlockSize = QMFormatRules::kBlockSize;
constexpr quint64 kInodeSize = QMFormatRules::kInodeSize;
constexpr quint64 kFirstInode = 11;    // inodes 1 to 10 belong to the file system
constexpr quint64 kGroupDescSize = 64; // the 64bit feature of ext4
constexpr quint64 kBlocksPerGroup = kBlockSize * 8;

quint64 pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? quint64(size) : 4096;
}

// A memory instance of a RAM disk of `size` bytes: the sectors the attach asks for, in
// whole pages.
quint64 memoryInstanceBytes(quint64 size)
{
    return QMFormatRules::memoryInstanceBytes(size / 512, pageSize());
}

quint64 divCeil(quint64 a, quint64 b)
{
    return (a + b - 1) / b;
}

bool isPowerOf(quint64 n, quint64 base)
{
    while (n > 1 && n % base == 0)
        n /= base;
    return n == 1;
}

// Superblock copies live in groups 0, 1 and the powers of 3, 5 and 7.
bool hasSuperblock(quint64 group)
{
    return group <= 1 || isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

struct Layout
{
    quint64 blocks = 0;
    quint64 groups = 0;
    quint64 inodesPerGroup = 0;
    quint64 inodeTableBlocks = 0;
    quint64 gdtBlocks = 0;
};

// The layout mke2fs computes: groups of 8 × block-size blocks, the inode count spread over
// the groups and rounded up to whole inode-table blocks (and down to a multiple of 8), and
// a last group too small for its own metadata (and 50 blocks) cut off the volume.
Layout layoutForSize(quint64 size, quint64 inodeCount)
{
    Layout l;
    const quint64 bytes = size / 512 * 512; // the device has whole sectors
    l.blocks = bytes / kBlockSize;
    const quint64 inodes = QMFormatRules::inodeCountToFormat(bytes, inodeCount);
    while (l.blocks > 0) {
        l.groups = divCeil(l.blocks, kBlocksPerGroup);
        const quint64 perBlock = kBlockSize / kInodeSize;
        l.inodeTableBlocks = divCeil(divCeil(inodes, l.groups), perBlock);
        l.inodesPerGroup = std::max<quint64>(l.inodeTableBlocks * perBlock, 8) & ~quint64(7);
        l.inodeTableBlocks = divCeil(l.inodesPerGroup * kInodeSize, kBlockSize);
        l.gdtBlocks = divCeil(l.groups, kBlockSize / kGroupDescSize);
        quint64 lastOverhead = 2 + l.inodeTableBlocks;
        if (hasSuperblock(l.groups - 1))
            lastOverhead += 1 + l.gdtBlocks;
        const quint64 rem = l.blocks % kBlocksPerGroup;
        if (l.groups == 1 || rem == 0 || rem >= lastOverhead + 50)
            break;
        l.blocks -= rem;
    }
    return l;
}

} // namespace

QMRamDeviceKind QMRamDeviceKindForNewRamDisks()
{
    return QMKernelFeatures::memoryInstances() ? QMRamDeviceKind::MemoryInstance : QMRamDeviceKind::LoopDevice;
}

QMRamDeviceKind QMRamDeviceKindOfDevice(const QString &deviceNode)
{
    return QMMountTable::isMemoryInstanceName(deviceNode) ? QMRamDeviceKind::MemoryInstance
                                                          : QMRamDeviceKind::LoopDevice;
}

quint64 QMInodesForSize(quint64 size, quint64 inodeCount, QMRamDeviceKind kind)
{
    if (kind == QMRamDeviceKind::MemoryInstance)
        return QMFormatRules::memoryInstanceInodes(memoryInstanceBytes(size), pageSize());
    const Layout l = layoutForSize(size, inodeCount);
    return l.groups * l.inodesPerGroup;
}

quint64 QMFreeInodesForSize(quint64 size, quint64 inodeCount, QMRamDeviceKind kind)
{
    if (kind == QMRamDeviceKind::MemoryInstance)
        return QMFormatRules::memoryInstanceFreeInodes(memoryInstanceBytes(size), pageSize());
    const quint64 inodes = QMInodesForSize(size, inodeCount, kind);
    // The reserved inodes and the root directory.
    return inodes > kFirstInode ? inodes - kFirstInode : 0;
}

quint64 QMUsableBytesForSize(quint64 size, quint64 inodeCount, QMRamDeviceKind kind)
{
    if (kind == QMRamDeviceKind::MemoryInstance)
        return memoryInstanceBytes(size);
    const Layout l = layoutForSize(size, inodeCount);
    if (l.groups == 0)
        return 0;
    quint64 copies = 0;
    for (quint64 g = 0; g < l.groups; ++g)
        copies += hasSuperblock(g) ? 1 : 0;
    // Bitmaps and inode table of every group, superblock and descriptors where copied, the
    // root directory and the journal.
    quint64 overhead = l.groups * (l.inodeTableBlocks + 2) + copies * (1 + l.gdtBlocks) + 1
        + QMFormatRules::journalBlocks(size / 512 * 512);
    // What the mounted file system keeps back for its own metadata: never free for files.
    overhead += QMFormatRules::reservedBlocks(l.blocks);
    // A margin for what the layout above does not model, so that the figure stays on the
    // safe side.
    overhead += l.blocks / 1024 + 16;
    return l.blocks > overhead ? (l.blocks - overhead) * kBlockSize : 0;
}

quint64 QMBytesNeededOnVolume(const QMDirectoryUsage &usage, bool foldersTakeBlocks)
{
    return usage.dataBytes + (foldersTakeBlocks ? usage.directories * kBlockSize : 0);
}

namespace {

// ext4 keeps a link target of up to 59 bytes in the inode (a memory file system up to 127):
// a longer one takes a block.
constexpr qint64 kInlineLinkTarget = 59;

// The data of a regular file in whole blocks. A file that has allocated less than its size
// may hold holes (or sit on a disk that compresses or keeps small files inline): its data
// ranges are looked up, as the copy does.
quint64 dataBlocksOf(int dirFd, const char *name, const struct stat &st)
{
    const quint64 size = quint64(st.st_size);
    if (quint64(st.st_blocks) * 512 >= size)
        return divCeil(size, kBlockSize) * kBlockSize;
    const int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return divCeil(size, kBlockSize) * kBlockSize;
    quint64 blocks = 0;
    qint64 nextBlock = 0; // the first block not counted yet
    off_t pos = 0;
    for (;;) {
        const off_t data = lseek(fd, pos, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) // no hole lookup here: all of it is data
                blocks = divCeil(size, kBlockSize);
            break;
        }
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            hole = off_t(size);
        const qint64 first = std::max<qint64>(qint64(quint64(data) / kBlockSize), nextBlock);
        const qint64 end = qint64(divCeil(quint64(hole), kBlockSize));
        if (end > first)
            blocks += quint64(end - first);
        nextBlock = std::max(nextBlock, end);
        if (hole <= data || quint64(hole) >= size)
            break;
        pos = hole;
    }
    close(fd);
    return blocks * kBlockSize;
}

struct UsageWalk
{
    QMDirectoryUsage usage;
    QSet<QPair<quint64, quint64>> linked; // files with several names, counted once
    QString error;

    void fail(int errnum, const QByteArray &path)
    {
        if (error.isNull())
            error = QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(strerror(errnum)), QString::fromLocal8Bit(path));
    }

    void walk(int dirFd, const QByteArray &path)
    {
        DIR *dir = fdopendir(dirFd);
        if (!dir) {
            fail(errno, path);
            close(dirFd);
            return;
        }
        while (const dirent *entry = QMNextDirEntry(dir)) {
            const char *name = entry->d_name;
            const QByteArray child = path + '/' + name;
            struct stat st {};
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                fail(errno, child);
                continue;
            }
            if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
                const QPair<quint64, quint64> key(quint64(st.st_dev), quint64(st.st_ino));
                if (linked.contains(key))
                    continue;
                linked.insert(key);
            }
            usage.inodes += 1;
            usage.allocatedBytes += quint64(st.st_blocks) * 512;
            if (S_ISREG(st.st_mode))
                usage.dataBytes += dataBlocksOf(dirfd(dir), name, st);
            else if (S_ISLNK(st.st_mode) && st.st_size > kInlineLinkTarget)
                usage.dataBytes += kBlockSize;
            if (S_ISDIR(st.st_mode)) {
                usage.directories += 1;
                const int fd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0)
                    fail(errno, child);
                else
                    walk(fd, child);
            }
        }
        if (errno != 0)
            fail(errno, path);
        closedir(dir);
    }
};

} // namespace

bool QMGetDirectoryUsage(const QByteArray &path, QMDirectoryUsage *usage, QString *error)
{
    UsageWalk walk;
    const int fd = path.isEmpty() ? -1 : open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        walk.fail(path.isEmpty() ? ENOENT : errno, path);
    else
        walk.walk(fd, path);
    if (usage) {
        usage->allocatedBytes += walk.usage.allocatedBytes;
        usage->inodes += walk.usage.inodes;
        usage->dataBytes += walk.usage.dataBytes;
        usage->directories += walk.usage.directories;
    }
    if (error)
        *error = walk.error;
    return walk.error.isNull();
}
