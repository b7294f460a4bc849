#pragma once

// How a RAM disk's file system is laid out, in plain C++: quilmo-disktool formats and
// mounts by these numbers, and the manager computes from the very same ones what a fresh
// RAM disk will hold before it makes one.
//
// A RAM disk is a memory instance (a tmpfs of its own) where the kernel can; elsewhere it
// is ext4 on a loop device with 4096-byte blocks (the loop device's logical block size as
// well), 256-byte inodes, the smallest journal, no blocks reserved for root and no room to
// grow.

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

// ---- Memory instances ----------------------------------------------------------------

// Where the disk tool keeps the memory instances, each in a directory named after it: a
// root-only place that no user reaches and no file manager lists. Every mount below it is
// the tool's own, never a place a user sees.
inline constexpr const char *kMemoryInstancePlace = "/run/quilmo/ram";
// An instance's name (its "device node"): this prefix and a number.
inline constexpr const char *kMemoryInstancePrefix = "quilmo-ram";

// What an instance of `sectors` 512-byte sectors holds: the bytes rounded up to whole
// pages, as tmpfs counts its size.
std::uint64_t memoryInstanceBytes(std::uint64_t sectors, std::uint64_t pageSize);

// Its inodes: one per page, so that files of up to a page (1 KiB ones included) run out
// of space before they run out of inodes; an eighth more for the directories that hold
// them; and three for the root directory, the volume tag (tmpfs counts extended
// attributes against its inodes) and the desktop indexers' marker. Each inode costs the
// kernel about 1 KiB beside the size, so this is also what bounds that cost.
std::uint64_t memoryInstanceInodes(std::uint64_t bytes, std::uint64_t pageSize);

// The items (files, directories, links) a fresh instance takes: one per page and an eighth.
std::uint64_t memoryInstanceFreeInodes(std::uint64_t bytes, std::uint64_t pageSize);

} // namespace QMFormatRules
