#include "QMFormatRules.h"

#include <algorithm>

namespace QMFormatRules {

std::uint64_t maxInodeCount(std::uint64_t deviceBytes)
{
    return deviceBytes / kMinBytesPerInode;
}

const char *inodeCountProblem(std::uint64_t deviceBytes, std::uint64_t requested)
{
    if (requested == 0)
        return "The number of inodes must be at least 1.";
    if (requested > maxInodeCount(deviceBytes))
        return "The number of inodes is more than the RAM disk can hold (one per 8192 bytes).";
    return nullptr;
}

std::uint64_t inodeCountToFormat(std::uint64_t deviceBytes, std::uint64_t requested)
{
    // A few for the file system itself even on the smallest device.
    const std::uint64_t floor = std::max<std::uint64_t>(deviceBytes / kBytesPerInode, 16);
    return std::min(std::max(floor, requested), std::max<std::uint64_t>(maxInodeCount(deviceBytes), 16));
}

std::uint64_t inodeCountForItems(std::uint64_t deviceBytes, std::uint64_t items)
{
    return std::min(items + (items + 1) / 2, maxInodeCount(deviceBytes));
}

std::uint64_t journalBlocks(std::uint64_t deviceBytes)
{
    return deviceBytes >= 32 * kJournalBlocks * kBlockSize ? kJournalBlocks : 0;
}

std::uint64_t reservedBlocks(std::uint64_t blocks)
{
    const std::uint64_t ext4Default = std::min<std::uint64_t>(blocks / 50, 4096);
    return std::min(ext4Default, std::max<std::uint64_t>(blocks / 512, 256));
}

std::uint64_t memoryInstanceBytes(std::uint64_t sectors, std::uint64_t pageSize)
{
    const std::uint64_t bytes = sectors * 512;
    return (bytes + pageSize - 1) / pageSize * pageSize;
}

std::uint64_t memoryInstanceInodes(std::uint64_t bytes, std::uint64_t pageSize)
{
    return memoryInstanceFreeInodes(bytes, pageSize) + 3;
}

std::uint64_t memoryInstanceFreeInodes(std::uint64_t bytes, std::uint64_t pageSize)
{
    const std::uint64_t pages = bytes / pageSize;
    return pages + pages / 8;
}

} // namespace QMFormatRules
