// "hdiutil resize -size N DEV": a memory instance changes its size in place, mounted or
// not, without losing what it holds (a tmpfs reconfigured on its own superblock). A loop
// device's ext4 cannot do that safely while it exists: it needs ejecting.
//
// Every check comes before the change, under the state's lock, so that an eject (or a
// second resize) of the same device waits for this one and never sees it half done.

#include "DTResize.h"

#include "DTLimits.h"
#include "DTRamDevice.h"
#include "DTState.h"
#include "DTSystem.h"
#include "DTTools.h"
#include "QMFormatRules.h"

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dt {

namespace {

uint64_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

// The instance's own mount, opened from the private place and checked to be the recorded
// superblock.
Fd openInstanceRoot(State &state, const InstanceEntry &entry, std::string *why)
{
    std::string place;
    Fd placeFd = state.openInstancePlace(&place, why);
    if (!placeFd.valid())
        return Fd();
    Fd root(openat(placeFd.get(), entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct statx stx;
    if (!root.valid() || statx(root.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx) != 0
        || makedev(stx.stx_dev_major, stx.stx_dev_minor) != entry.device
        || !(stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
        *why = entry.name + " is not where its record says";
        return Fd();
    }
    return root;
}

// Sets the size (and the inode count that goes with it) of the superblock under `root`.
bool reconfigure(int root, uint64_t bytes, std::string *why)
{
    Fd fs(fspick(root, "", FSPICK_EMPTY_PATH | FSPICK_CLOEXEC | FSPICK_NO_AUTOMOUNT | FSPICK_SYMLINK_NOFOLLOW));
    if (!fs.valid()) {
        *why = errnoText("cannot take the memory instance to resize it");
        return false;
    }
    const std::string size = std::to_string(bytes);
    const std::string inodes = std::to_string(QMFormatRules::memoryInstanceInodes(bytes, pageSize()));
    if (fsconfig(fs.get(), FSCONFIG_SET_STRING, "size", size.c_str(), 0) != 0
        || fsconfig(fs.get(), FSCONFIG_SET_STRING, "nr_inodes", inodes.c_str(), 0) != 0
        || fsconfig(fs.get(), FSCONFIG_CMD_RECONFIGURE, nullptr, nullptr, 0) != 0) {
        *why = errnoText("cannot resize the memory instance");
        return false;
    }
    return true;
}

} // namespace

int hdiutilResize(const Args &args)
{
    if (args.size() != 4 || args[1] != "-size")
        return fail("resize: usage: resize -size SECTORS DEVICE");
    uint64_t sectors = 0;
    if (!parseUnsigned(args[2], &sectors))
        return fail("resize: \"" + args[2] + "\" is not a number of 512-byte sectors");
    const std::string &name = args[3];
    if (looksLikeOption(name))
        return fail("resize: unknown option \"" + name + "\"");
    if (const std::string refusal = sizeRefusal(sectors); !refusal.empty())
        return fail("resize: " + refusal);

    const uid_t caller = callerUid();
    State state;
    if (!state.ok())
        return fail("resize: " + state.error());
    std::string why;
    std::unique_ptr<RamDevice> device = openRamDevice(state, name, caller, Purpose::Use, &why);
    if (!device)
        return fail("resize: " + why);
    if (!isMemoryInstanceName(device->name()))
        return fail("resize: " + name + " is a loop device, whose size cannot change while it exists: it needs "
                    "ejecting and creating again at the new size");

    std::vector<InstanceEntry> records;
    if (!state.readInstances(&records))
        return fail("resize: " + state.error());
    auto entry = records.end();
    for (auto it = records.begin(); it != records.end(); ++it) {
        if (it->name == device->name())
            entry = it;
    }
    if (entry == records.end())
        return fail("resize: " + name + " has no record to resize");
    Fd root = openInstanceRoot(state, *entry, &why);
    if (!root.valid())
        return fail("resize: " + why);

    // What it holds now, and a margin of 1 % so that the programs writing to it are not
    // left without a byte the moment it shrinks.
    struct statvfs sv;
    if (fstatvfs(root.get(), &sv) != 0)
        return fail(errnoText("resize: cannot read what " + name + " holds"));
    const uint64_t newBytes = QMFormatRules::memoryInstanceBytes(sectors, pageSize());
    const uint64_t usedBytes = static_cast<uint64_t>(sv.f_blocks - sv.f_bfree) * sv.f_frsize;
    const uint64_t leastBytes = usedBytes + (usedBytes + 99) / 100;
    if (newBytes < leastBytes)
        return fail("resize: " + name + " holds " + sizeText(usedBytes) + " (" + std::to_string(usedBytes)
                    + " bytes); it cannot be made smaller than " + std::to_string(leastBytes)
                    + " bytes, what it holds and 1 %");
    const uint64_t usedInodes = static_cast<uint64_t>(sv.f_files - sv.f_ffree);
    const uint64_t newInodes = QMFormatRules::memoryInstanceInodes(newBytes, pageSize());
    if (usedInodes + (usedInodes + 99) / 100 > newInodes)
        return fail("resize: " + name + " holds " + std::to_string(usedInodes)
                    + " files and directories, more than a RAM disk of that size can hold");
    // Only growth commits more memory, by the records' measure (sectors).
    const uint64_t oldSectors = entry->sectors;
    if (sectors > oldSectors && !checkCommitmentLimits(state, caller, (sectors - oldSectors) * 512, false, &why))
        return fail("resize: " + why);

    if (!reconfigure(root.get(), newBytes, &why))
        return fail("resize: " + why);
    entry->sectors = sectors;
    if (!state.writeInstances(records, &why)) {
        // The record must keep telling the truth: the old size comes back.
        std::string ignored;
        reconfigure(root.get(), QMFormatRules::memoryInstanceBytes(oldSectors, pageSize()), &ignored);
        return fail("resize: " + why);
    }
    return 0;
}

} // namespace dt
