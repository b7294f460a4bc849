// The fallback realisation: a loop device over a nameless memory file in /dev/shm,
// formatted ext4 and mounted, with a trim keeper per mount that gives deleted files'
// memory back. Kernels without what a memory instance needs get this.

#include "DTRamDevice.h"

#include "DTPaths.h"
#include "DTTrim.h"
#include "QMFormatRules.h"
#include "QMVolumeRules.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dt {

namespace {

std::string randomHex()
{
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return {};
    char text[17];
    for (size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

// Binds the memory file to a free loop device; retries when another process takes the
// free device first. Returns the index, or -1 with the reason.
int attachLoop(int backingFd, uint64_t sectors, std::string *why)
{
    Fd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control.valid()) {
        *why = errnoText("cannot open /dev/loop-control");
        return -1;
    }
    for (int attempt = 0; attempt < 32; ++attempt) {
        const int index = ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (index < 0) {
            *why = errnoText("no free loop device");
            return -1;
        }
        const std::string node = "/dev/loop" + std::to_string(index);
        Fd loop(open(node.c_str(), O_RDWR | O_CLOEXEC));
        if (!loop.valid()) {
            if (errno == ENOENT || errno == ENXIO)
                continue;
            *why = errnoText("cannot open " + node);
            return -1;
        }
        struct loop_config config;
        std::memset(&config, 0, sizeof config);
        config.fd = static_cast<__u32>(backingFd);
        // Blocks of the file system's size: ext4 then never writes part of a device block,
        // and the device takes its requests whole.
        if (sectors % (QMFormatRules::kBlockSize / 512) == 0)
            config.block_size = QMFormatRules::kBlockSize;
        // Direct I/O over the memory file: each request goes to the memory file in one piece
        // instead of page by page through a second page cache. No LO_FLAGS_PARTSCAN: a RAM
        // disk has no partition table for the kernel to read.
        config.info.lo_flags = LO_FLAGS_DIRECT_IO;
        std::snprintf(reinterpret_cast<char *>(config.info.lo_file_name), LO_NAME_SIZE, "ram://%" PRIu64, sectors);
        int configured = ioctl(loop.get(), LOOP_CONFIGURE, &config);
        if (configured != 0 && errno == EINVAL) {
            // A kernel that can do neither over this file: the plain buffered device.
            config.block_size = 0;
            config.info.lo_flags = 0;
            configured = ioctl(loop.get(), LOOP_CONFIGURE, &config);
        }
        if (configured == 0)
            return index;
        if (errno == EBUSY)
            continue;
        *why = errnoText("cannot attach " + node);
        return -1;
    }
    *why = "no free loop device";
    return -1;
}

// Only for a device this very run has just attached (undoing a failed attach).
bool detachLoop(const std::string &node, std::string *why)
{
    Fd loop(open(node.c_str(), O_RDWR | O_CLOEXEC));
    if (!loop.valid()) {
        *why = errnoText("cannot open " + node);
        return false;
    }
    // Should someone still hold it open, the kernel detaches it when they let go.
    if (ioctl(loop.get(), LOOP_CLR_FD, 0) != 0 && errno != ENXIO) {
        *why = errnoText("cannot detach " + node);
        return false;
    }
    return true;
}

// Whether the device is held exclusively: mounted, here or in another mount namespace
// (a copy of a mount keeps the file system, and so the device, in use), or claimed by
// another program.
bool isHeldExclusively(const std::string &node)
{
    Fd fd(open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return !fd.valid() && errno == EBUSY;
}

const char *kStillInUse = "is still in use by another mount namespace or process";

// Releases a RAM disk's loop device, so that its memory goes back. Succeeds only when the
// device is free afterwards; otherwise the device is left exactly as it was (attached,
// without the kernel's detach-on-last-close), to be released by a later detach.
bool releaseLoop(const LoopDevice &device, std::string *why)
{
    // Short waits let a program that merely looks at new devices (udev) let go.
    constexpr int attempts = 6;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (attempt > 0)
            usleep(100 * 1000);
        Fd loop(open(device.node.c_str(), O_RDWR | O_EXCL | O_CLOEXEC));
        if (!loop.valid()) {
            if (errno == EBUSY)
                continue;
            *why = errnoText("cannot open " + device.node);
            return false;
        }
        if (!sameAttachment(device)) {
            *why = device.node + " was changed by someone else meanwhile";
            return false;
        }
        if (ioctl(loop.get(), LOOP_CLR_FD, 0) != 0) {
            *why = errnoText("cannot detach " + device.node);
            return false;
        }
        // With other openers the kernel only marks the device to be detached at their last
        // close and keeps it bound; as the only opener it is being torn down (and cannot be
        // asked any more).
        struct loop_info64 info;
        if (ioctl(loop.get(), LOOP_GET_STATUS64, &info) == 0) {
            info.lo_flags &= ~static_cast<__u32>(LO_FLAGS_AUTOCLEAR);
            if (ioctl(loop.get(), LOOP_SET_STATUS64, &info) != 0) {
                *why = device.node + " " + kStillInUse + ", and will be released when it is let go";
                return false;
            }
            continue;
        }
        loop.reset(); // the last close releases it
        for (int wait = 0; wait < 200 && sameAttachment(device); ++wait)
            usleep(10 * 1000);
        if (sameAttachment(device)) {
            *why = device.node + " did not let go";
            return false;
        }
        return true;
    }
    *why = device.node + " " + kStillInUse;
    return false;
}

// For a forced eject whose volume someone still holds: the kernel releases the device at
// its last close. Its record stays until then; once released, the record is stale and
// dropped (the attachment is told by its sequence number, not its name).
bool releaseLoopAtLastClose(const LoopDevice &device, std::string *why)
{
    Fd loop(open(device.node.c_str(), O_RDWR | O_CLOEXEC));
    if (!loop.valid()) {
        *why = errnoText("cannot open " + device.node);
        return false;
    }
    if (!sameAttachment(device)) {
        *why = device.node + " was changed by someone else meanwhile";
        return false;
    }
    struct loop_info64 info;
    if (ioctl(loop.get(), LOOP_GET_STATUS64, &info) != 0) {
        *why = errnoText("cannot read " + device.node);
        return false;
    }
    info.lo_flags |= LO_FLAGS_AUTOCLEAR;
    if (ioctl(loop.get(), LOOP_SET_STATUS64, &info) != 0) {
        *why = errnoText("cannot mark " + device.node + " to be released");
        return false;
    }
    return true;
}

bool kernelHasCasefold()
{
    return access("/sys/fs/ext4/features/casefold", F_OK) == 0;
}

// Formats one of the caller's devices as ext4 with the smallest
// journal, laid out as QMFormatRules says (so that the manager knows beforehand what it
// will hold), with at least `inodes` inodes (0: the default). Fills the one-line summary on
// success.
bool formatDevice(const LoopDevice &device, const std::string &mke2fs, const std::string &name,
                  bool caseSensitive, uint64_t inodes, uid_t caller, std::string *summary, std::string *why)
{
    gid_t gid = static_cast<gid_t>(caller);
    userNameOf(caller, nullptr, &gid); // a uid without an entry keeps its number as group

    const bool casefold = !caseSensitive && kernelHasCasefold();
    const std::string label = QMVolumeRules::utf8Prefix(name, QMVolumeRules::kLabelMaxBytes);
    const uint64_t bytes = device.sectors * 512;
    // Everything the capacity depends on is given here rather than taken from the system's
    // mke2fs.conf. No resize_inode: a RAM disk never grows, and its reserve would cost 1 %.
    // The memory file is new and reads as zeros: nothing needs zeroing, now or by the
    // kernel's lazy initialisation after the mount (which would fill memory for nothing).
    // The journal is not there for crashes (a RAM disk does not survive one) but for speed:
    // without one, ext4 passes over every inode freed in the last minutes before it reuses
    // one, so that creating files soon after deleting many costs time in their square.
    const uint64_t journal = QMFormatRules::journalBlocks(bytes);
    // No metadata checksums: they guard against a medium that corrupts blocks, and memory
    // is not one; every inode, bitmap and directory update would compute them (a delete of
    // 20,000 files took a fifth longer with them).
    std::string features = "^resize_inode,^metadata_csum";
    if (!journal)
        features += ",^has_journal";
    if (casefold)
        features += ",casefold";
    std::vector<std::string> args{"-t", "ext4", "-F", "-q", "-b", std::to_string(QMFormatRules::kBlockSize), "-I",
                                  std::to_string(QMFormatRules::kInodeSize), "-N",
                                  std::to_string(QMFormatRules::inodeCountToFormat(bytes, inodes)), "-O", features,
                                  "-m", "0", "-L", label, "-E",
                                  "root_owner=" + std::to_string(caller) + ":" + std::to_string(gid)
                                      + ",assume_storage_prezeroed=1,nodiscard"};
    if (journal)
        args.insert(args.end(), {"-J", "size=" + std::to_string(journal * QMFormatRules::kBlockSize / (1024 * 1024))});
    args.push_back(device.node);
    std::string output;
    const int status = runTool(mke2fs, args, &output);
    if (status != 0) {
        *why = "mke2fs failed: " + lastLine(output);
        return false;
    }
    *summary = "Initialized " + device.node + " as a " + sizeText(bytes) + " "
        + (casefold ? "case-insensitive" : "case-sensitive") + " ext4 volume";
    return true;
}

// What the superblock of the device's ext4 tells: never mounted yet (fresh from mke2fs,
// its last-mount time still 0), made with case folding, and its size in blocks.
struct Superblock {
    bool neverMounted = false;
    bool casefold = false;
    bool hasJournal = false;
    uint64_t blocks = 0;
};

bool readSuperblock(const LoopDevice &device, Superblock *out)
{
    Fd fd(open(device.node.c_str(), O_RDONLY | O_CLOEXEC));
    unsigned char sb[1024];
    if (!fd.valid() || pread(fd.get(), sb, sizeof sb, 1024) != static_cast<ssize_t>(sizeof sb))
        return false;
    auto le16 = [&](size_t at) { return static_cast<uint32_t>(sb[at] | (sb[at + 1] << 8)); };
    auto le32 = [&](size_t at) { return le16(at) | (le16(at + 2) << 16); };
    if (le16(0x38) != 0xEF53) // s_magic
        return false;
    const uint32_t incompat = le32(0x60);
    out->neverMounted = le32(0x2C) == 0 && sb[0x275] == 0; // s_mtime, s_mtime_hi
    out->casefold = (incompat & 0x20000) != 0;             // CASEFOLD
    out->hasJournal = (le32(0x5C) & 0x4) != 0;             // s_feature_compat: HAS_JOURNAL
    out->blocks = le32(0x04);                              // s_blocks_count_lo
    if (incompat & 0x80)                                   // 64BIT: s_blocks_count_hi
        out->blocks |= static_cast<uint64_t>(le32(0x150)) << 32;
    return true;
}

// ext4 keeps 2 % of a volume (at most 4096 blocks) back for its own metadata, far more than
// a RAM disk needs; the kernel forgets the setting at every mount. Without it the volume
// only offers less: no failure.
void setReservedBlocks(const LoopDevice &device, uint64_t blocks)
{
    if (blocks == 0)
        return;
    const std::string path = "/sys/fs/ext4/" + device.node.substr(std::strlen("/dev/")) + "/reserved_clusters";
    Fd fd(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    const std::string value = std::to_string(QMFormatRules::reservedBlocks(blocks));
    const ssize_t written = fd.valid() ? write(fd.get(), value.data(), value.size()) : -1;
    (void)written;
}

// A new volume is tidied at its first mount, while the mount is not attached anywhere yet
// (so no one ever sees it otherwise, and it costs no extra mount): lost+found goes, so that
// a fresh RAM disk holds nothing that looks like the user's files, and with case folding
// the root directory gets the flag that every directory created below it inherits.
bool tidyFreshVolume(int mountFd, bool casefold, std::string *why)
{
    if (unlinkat(mountFd, "lost+found", AT_REMOVEDIR) != 0 && errno != ENOENT && errno != ENOTEMPTY) {
        *why = errnoText("cannot remove lost+found");
        return false;
    }
    if (casefold) {
        Fd root(openat(mountFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        int flags = 0;
        if (!root.valid() || ioctl(root.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            *why = errnoText("cannot read the root directory's flags");
            return false;
        }
        if (!(flags & FS_CASEFOLD_FL)) {
            flags |= FS_CASEFOLD_FL;
            if (ioctl(root.get(), FS_IOC_SETFLAGS, &flags) != 0) {
                *why = errnoText("cannot make the root directory case-insensitive");
                return false;
            }
        }
    }
    return true;
}

// Mounts the device's ext4 onto the opened directory: noatime, nosuid, nodev, and
// data=writeback where it has a journal; the trim keeper started here gives the memory of
// deleted files back.
bool mountOnto(const LoopDevice &device, int targetFd, Fd *shown, std::string *why)
{
    Superblock superblock;
    readSuperblock(device, &superblock);
    Fd fs(fsopen("ext4", FSOPEN_CLOEXEC));
    if (!fs.valid()) {
        *why = errnoText("cannot open ext4");
        return false;
    }
    if (fsconfig(fs.get(), FSCONFIG_SET_STRING, "source", device.node.c_str(), 0) != 0) {
        *why = errnoText("cannot configure the mount of " + device.node);
        return false;
    }
    // Ordered data would hold freed data blocks back until the journal's next commit, so the
    // trim that gives their memory back would pass them by; nothing needs the ordering on a
    // volume that no crash leaves behind.
    if (superblock.hasJournal && fsconfig(fs.get(), FSCONFIG_SET_STRING, "data", "writeback", 0) != 0) {
        *why = errnoText("cannot configure the mount of " + device.node);
        return false;
    }
    if (fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        *why = errnoText("cannot read the file system on " + device.node);
        return false;
    }
    Fd mount(fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOATIME | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    if (!mount.valid()) {
        *why = errnoText("cannot mount " + device.node);
        return false;
    }
    setReservedBlocks(device, superblock.blocks);
    if (superblock.neverMounted && !tidyFreshVolume(mount.get(), superblock.casefold, why))
        return false;
    if (move_mount(mount.get(), "", targetFd, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
        *why = errnoText("cannot attach the mount of " + device.node);
        return false;
    }
    bool isMountRoot = false;
    int mountId = 0;
    std::string ignored;
    if (mountRootInfo(mount.get(), &isMountRoot, &mountId, &ignored)) {
        std::fflush(nullptr);
        startTrimKeeper(device, mountId);
    }
    *shown = std::move(mount);
    return true;
}


std::string mke2fsPath()
{
    return findTool({"/usr/sbin/mke2fs", "/sbin/mke2fs"});
}

class LoopRamDevice : public RamDevice {
public:
    explicit LoopRamDevice(const LoopDevice &device) : _device(device) {}

    const std::string &name() const override { return _device.node; }
    uint64_t sectors() const override { return _device.sectors; }
    bool isShownBy(const MountEntry &mount) const override { return mount.device == _device.device; }
    std::string heldBy() const override
    {
        return isHeldExclusively(_device.node) ? std::string(kStillInUse) : std::string();
    }

    bool canFormat(const FormatRequest &request, std::string *why) const override
    {
        if (request.inodes) {
            if (const char *problem = QMFormatRules::inodeCountProblem(_device.sectors * 512, *request.inodes)) {
                *why = std::string("-N ") + std::to_string(*request.inodes) + ": " + problem;
                return false;
            }
        }
        if (mke2fsPath().empty()) {
            *why = "mke2fs is needed (package e2fsprogs)";
            return false;
        }
        return true;
    }

    bool format(State &, const FormatRequest &request, std::string *summary, std::string *why) override
    {
        return formatDevice(_device, mke2fsPath(), request.volumeName, request.caseSensitive,
                            request.inodes.value_or(0), request.caller, summary, why);
    }

    bool show(State &, int targetFd, Fd *shown, std::string *why) override
    {
        return mountOnto(_device, targetFd, shown, why);
    }

    bool released() const override { return _device.autoclear; }

    bool release(State &state, bool force, bool *deferred, std::string *why) override
    {
        *deferred = false;
        // Until the device is really free, its record stays: a later detach finishes the job.
        if (!releaseLoop(_device, why)) {
            if (!force || why->find(kStillInUse) == std::string::npos)
                return false;
            std::string markWhy;
            if (!releaseLoopAtLastClose(_device, &markWhy)) {
                *why += "; " + markWhy;
                return false;
            }
            *deferred = true;
            return true;
        }
        // Should this fail, the device is gone all the same: its entry is stale and the next
        // writing of the record drops it, so the release still succeeded.
        std::vector<StateEntry> records, kept;
        std::string ignored;
        if (state.read(&records)) {
            for (const auto &e : records) {
                if (e.node != _device.node)
                    kept.push_back(e);
            }
            state.write(kept, &ignored);
        }
        // Normally unlinked right after attaching; an older attach may have left the name.
        // Only the very file of a recorded device goes: a file that merely carries such a
        // name is someone else's.
        struct stat st;
        if (_recorded && _device.inode != 0 && lstat(_device.backing.c_str(), &st) == 0 && S_ISREG(st.st_mode)
            && st.st_ino == _device.inode)
            unlink(_device.backing.c_str());
        return true;
    }

    void setRecorded(bool recorded) { _recorded = recorded; }

private:
    LoopDevice _device;
    bool _recorded = false;
};

} // namespace

std::unique_ptr<RamDevice> attachLoopDevice(State &state, const AttachRequest &request, std::string *why)
{
    const std::string random = randomHex();
    if (random.empty()) {
        *why = "no random name available";
        return nullptr;
    }
    const std::string backing = std::string(kBackingPrefix) + std::to_string(request.caller) + "-" + random;
    std::vector<StateEntry> records;
    if (!state.read(&records)) {
        *why = state.error();
        return nullptr;
    }
    Fd file(open(backing.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        *why = errnoText("cannot create " + backing);
        return nullptr;
    }
    // Nameless at once: the open descriptor, then the loop device, keep the memory alive,
    // and nothing is left behind whatever happens to us from here on. The kernel still
    // reports the name (with " (deleted)"), which is how our devices are told apart.
    if (unlink(backing.c_str()) != 0) {
        *why = errnoText("cannot prepare " + backing);
        return nullptr;
    }
    if (ftruncate(file.get(), static_cast<off_t>(request.sectors * 512)) != 0) {
        *why = errnoText("cannot size " + backing);
        return nullptr;
    }
    struct stat fileStat;
    if (fstat(file.get(), &fileStat) != 0) {
        *why = errnoText("cannot read " + backing);
        return nullptr;
    }
    const int index = attachLoop(file.get(), request.sectors, why);
    if (index < 0)
        return nullptr;
    const std::string node = "/dev/loop" + std::to_string(index);
    Undo detach([&] {
        std::string ignored;
        detachLoop(node, &ignored);
    });
    LoopDevice attached;
    if (!readLoopDevice(index, &attached) || attached.backing != backing || attached.inode != fileStat.st_ino) {
        *why = node + " does not show the new memory file";
        return nullptr;
    }
    records.push_back({node, backing, request.caller, static_cast<uint64_t>(fileStat.st_ino), attached.diskseq});
    if (!state.write(records, why))
        return nullptr;
    detach.dismiss();
    auto device = std::make_unique<LoopRamDevice>(attached);
    device->setRecorded(true);
    return device;
}

std::unique_ptr<RamDevice> openLoopRamDevice(State &state, const std::string &node, uid_t caller, Purpose purpose,
                                             std::string *why, bool *recorded)
{
    LoopDevice device;
    bool isRecorded = false;
    if (!authorizeDevice(state, node, caller, purpose, &device, why, &isRecorded))
        return nullptr;
    if (recorded)
        *recorded = isRecorded;
    auto opened = std::make_unique<LoopRamDevice>(device);
    opened->setRecorded(isRecorded);
    return opened;
}

bool listLoopRamDevices(State *state, const std::vector<MountEntry> &table, std::vector<RamDeviceListing> *devices,
                        std::string *why)
{
    // Only the record tells whose a device is (a name is easily made to look like ours).
    // Root reads it; a normal user reads its public copy.
    std::vector<StateEntry> entries;
    if (state) {
        if (!state->entries(&entries)) {
            *why = state->error();
            return false;
        }
    } else {
        entries = readPublicList();
    }
    for (const auto &device : quilmoLoopDevices()) {
        RamDeviceListing listing;
        listing.name = device.node;
        listing.sectors = device.sectors;
        listing.device = device.device;
        listing.released = device.autoclear;
        for (const auto &e : entries) {
            if (describes(e, device, state != nullptr)) {
                listing.recorded = true;
                listing.owner = e.owner;
            }
        }
        const auto points = mountPointsOf(device.device, table);
        if (!points.empty())
            listing.mountPoint = points.front();
        devices->push_back(listing);
    }
    return true;
}

} // namespace dt
