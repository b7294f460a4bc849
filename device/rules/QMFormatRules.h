#pragma once

// How a RAM disk's file system is laid out, in plain C++: quilmo-disktool formats and
// mounts by these numbers, and the manager computes from the very same ones what a fresh
// RAM disk will hold before it makes one.
//
// The file system is ext4 with 4096-byte blocks (the loop device's logical block size as
// well), 256-byte inodes, the smallest journal, no blocks reserved for root and no room to
// grow (a RAM disk never grows).

#include <cstdint>

namespace QMFormatRules {

inline constexpr std::uint64_t kBlockSize = 4096;
inline constexpr std::uint64_t kInodeSize = 256;
// The journal: the fewest blocks ext4 accepts (4 MiB), on devices of at least 32 times
// that; smaller ones have no journal (it would cost them too much of their space, and their
// few inodes keep ext4's pass over recently freed ones short).
inline constexpr std::uint64_t kJournalBlocks = 1024;
std::uint64_t journalBlocks(std::uint64_t deviceBytes);
// The fewest inodes a RAM disk gets: one per 16 KiB of its size.
inline constexpr std::uint64_t kBytesPerInode = 16384;

// The most inodes a device of `deviceBytes` may be given: one per 8 KiB, so that the inode
// tables never take more than a thirty-second of it, and an ext4 group (which holds one
// inode per block at most) never overflows when mke2fs shortens the volume to whole groups.
inline constexpr std::uint64_t kMinBytesPerInode = 8192;
std::uint64_t maxInodeCount(std::uint64_t deviceBytes);

// Why `requested` inodes are refused for a device of `deviceBytes`; nullptr when they are
// accepted (1 up to maxInodeCount).
const char *inodeCountProblem(std::uint64_t deviceBytes, std::uint64_t requested);

// The inode count the format asks for: one per kBytesPerInode, or `requested` when that is
// more (0: nothing requested). The file system may round it up to whole inode-table blocks.
std::uint64_t inodeCountToFormat(std::uint64_t deviceBytes, std::uint64_t requested);

// The inodes a creation asks for to copy `items` files, directories and links onto a
// device of `deviceBytes`: half as many again, so that the user can go on working on a full
// copy, but never more than the device takes (0 when there is nothing to copy).
std::uint64_t inodeCountForItems(std::uint64_t deviceBytes, std::uint64_t items);

// The blocks the mounted file system keeps back for its own metadata (splitting extents,
// punching holes): ext4 takes 2 % (at most 4096 blocks) by itself, which costs a RAM disk
// more than it needs; a few hundred blocks cover what ext4 says such work takes (one or
// two blocks at a time).
std::uint64_t reservedBlocks(std::uint64_t blocks);

} // namespace QMFormatRules
