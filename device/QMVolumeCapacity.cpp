#include "QMVolumeCapacity.h"

#include <QSet>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr quint64 kMiB = 1024ULL * 1024ULL;
constexpr quint64 kInodeSize = 256;   // inode_size of mke2fs.conf
constexpr quint64 kFirstInode = 11;   // inodes 1 to 10 belong to the file system
constexpr quint64 kGroupDescSize = 64; // the 64bit feature of ext4

// The parameters mke2fs picks from the size ("usage types" of mke2fs.conf).
struct Format
{
    quint64 blockSize;
    quint64 inodeRatio;
};

Format formatForSize(quint64 bytes)
{
    if (bytes < 3 * kMiB)
        return {1024, 8192}; // floppy
    if (bytes < 512 * kMiB)
        return {1024, 4096}; // small
    return {4096, 16384};    // default
}

quint64 divCeil(quint64 a, quint64 b)
{
    return (a + b - 1) / b;
}

struct Layout
{
    Format format;
    quint64 blocks = 0;
    quint64 groups = 0;
    quint64 inodesPerGroup = 0;
    quint64 inodeTableBlocks = 0;
};

// The layout mke2fs computes: groups of 8 × block-size blocks, the inode count from the
// ratio spread over the groups, rounded to whole inode-table blocks and down to a
// multiple of 8.
Layout layoutForSize(quint64 size)
{
    Layout l;
    const quint64 bytes = size / 512 * 512; // the device has whole sectors
    l.format = formatForSize(bytes);
    const quint64 bs = l.format.blockSize;
    l.blocks = bytes / bs;
    if (l.blocks == 0)
        return l;
    const quint64 blocksPerGroup = bs * 8;
    const quint64 firstDataBlock = bs == 1024 ? 1 : 0;
    l.groups = divCeil(l.blocks - firstDataBlock, blocksPerGroup);
    const quint64 inodes = l.blocks * bs / l.format.inodeRatio;
    quint64 ipg = divCeil(inodes, l.groups);
    const quint64 perBlock = bs / kInodeSize;
    l.inodeTableBlocks = divCeil(ipg, perBlock);
    ipg = l.inodeTableBlocks * perBlock;
    ipg &= ~quint64(7);
    l.inodesPerGroup = ipg;
    l.inodeTableBlocks = divCeil(ipg * kInodeSize, bs);
    return l;
}

bool isPowerOf(quint64 n, quint64 base)
{
    while (n > 1 && n % base == 0)
        n /= base;
    return n == 1;
}

} // namespace

quint64 QMInodesForSize(quint64 size)
{
    const Layout l = layoutForSize(size);
    return l.groups * l.inodesPerGroup;
}

quint64 QMFreeInodesForSize(quint64 size)
{
    const quint64 inodes = QMInodesForSize(size);
    // The reserved inodes and the root directory.
    return inodes > kFirstInode ? inodes - kFirstInode : 0;
}

quint64 QMUsableBytesForSize(quint64 size)
{
    const Layout l = layoutForSize(size);
    if (l.groups == 0)
        return 0;
    const quint64 bs = l.format.blockSize;
    const quint64 descPerBlock = bs / kGroupDescSize;
    const quint64 gdtBlocks = divCeil(l.groups, descPerBlock);
    // Room to grow the file system 1024 times, as resize_inode reserves it.
    const quint64 maxBlocks = std::min<quint64>(0xFFFFFFFFULL, l.blocks * 1024);
    const quint64 maxGroups = divCeil(maxBlocks, bs * 8);
    const quint64 reservedGdt = std::min<quint64>(bs / 4, divCeil(maxGroups, descPerBlock) - gdtBlocks);
    // Superblock copies live in groups 0, 1 and the powers of 3, 5 and 7.
    quint64 copies = 0;
    for (quint64 g = 0; g < l.groups; ++g)
        copies += (g <= 1 || isPowerOf(g, 3) || isPowerOf(g, 5) || isPowerOf(g, 7)) ? 1 : 0;
    quint64 overhead = l.groups * (l.inodeTableBlocks + 2) + copies * (1 + gdtBlocks + reservedGdt);
    overhead += (bs == 1024 ? 1 : 0) + 1; // the boot block and the root directory
    // What the mounted file system keeps back for its own metadata (2 %, at most 4096
    // blocks): never free for files.
    overhead += std::min<quint64>(l.blocks / 50, 4096);
    // A margin for what the layout above does not model (the last group trimmed, the
    // root directory growing), so that the figure stays on the safe side.
    overhead += l.blocks / 256 + 16;
    const quint64 total = l.blocks;
    return total > overhead ? (total - overhead) * bs : 0;
}

namespace {

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
        errno = 0;
        while (const dirent *entry = readdir(dir)) {
            const char *name = entry->d_name;
            if (!strcmp(name, ".") || !strcmp(name, "..")) {
                errno = 0;
                continue;
            }
            const QByteArray child = path + '/' + name;
            struct stat st {};
            if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                fail(errno, child);
                errno = 0;
                continue;
            }
            if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) {
                const QPair<quint64, quint64> key(quint64(st.st_dev), quint64(st.st_ino));
                if (linked.contains(key)) {
                    errno = 0;
                    continue;
                }
                linked.insert(key);
            }
            usage.inodes += 1;
            usage.allocatedBytes += quint64(st.st_blocks) * 512;
            if (S_ISDIR(st.st_mode)) {
                const int fd = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0)
                    fail(errno, child);
                else
                    walk(fd, child);
            }
            errno = 0;
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
    }
    if (error)
        *error = walk.error;
    return walk.error.isNull();
}
