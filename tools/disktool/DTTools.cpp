#include "DTTools.h"

#include "DTPaths.h"
#include "DTState.h"
#include "DTSystem.h"
#include "DTTrim.h"
#include "QMFormatRules.h"
#include "QMVolumeRules.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <plist/plist.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>

namespace dt {

static std::string g_personality = "quilmo-disktool";

void setPersonalityForMessages(const std::string &personality)
{
    g_personality = personality;
}

int fail(const std::string &message)
{
    std::string line = message;
    for (char &c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::fprintf(stderr, "%s: %s\n", g_personality.c_str(), line.c_str());
    return 1;
}

// Runs the clean-up unless dismissed: what a failed step had already done is undone.
class Undo {
public:
    explicit Undo(std::function<void()> f) : _f(std::move(f)) {}
    ~Undo()
    {
        if (_f)
            _f();
    }
    void dismiss() { _f = nullptr; }
    Undo(const Undo &) = delete;
    Undo &operator=(const Undo &) = delete;

private:
    std::function<void()> _f;
};

static std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

static void printPlist(plist_t root)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    if (xml) {
        std::fwrite(xml, 1, length, stdout);
        plist_to_xml_free(xml);
    }
    std::fflush(stdout);
}

// ---- hdiutil -------------------------------------------------------------------------

static uint64_t physicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) : 0;
}

static std::string randomHex()
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
static int attachLoop(int backingFd, uint64_t sectors, std::string *why)
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
static bool detachLoop(const std::string &node, std::string *why)
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
static bool isHeldExclusively(const std::string &node)
{
    Fd fd(open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return !fd.valid() && errno == EBUSY;
}

static const char *kStillInUse = "is still in use by another mount namespace or process";

// Releases a RAM disk's loop device, so that its memory goes back. Succeeds only when the
// device is free afterwards; otherwise the device is left exactly as it was (attached,
// without the kernel's detach-on-last-close), to be released by a later detach.
static bool releaseLoop(const LoopDevice &device, std::string *why)
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
static bool releaseLoopAtLastClose(const LoopDevice &device, std::string *why)
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

static int hdiutilAttach(const Args &args)
{
    bool nomount = false, plist = false;
    std::string url;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-nomount")
            nomount = true;
        else if (a == "-plist")
            plist = true;
        else if (a == "-kernel")
            ; // wired kernel memory on another system; nothing to choose here, so accepted and ignored
        else if (looksLikeOption(a))
            return fail("attach: unknown option \"" + a + "\"");
        else if (!url.empty())
            return fail("attach: more than one image given");
        else
            url = a;
    }
    if (!nomount || !plist)
        return fail("attach: only \"attach -nomount -plist ram://N\" is supported");
    uint64_t sectors = 0;
    if (!startsWith(url, "ram://") || !parseUnsigned(url.substr(6), &sectors))
        return fail("attach: \"" + url + "\" is not a RAM device URL (ram://<sectors>)");
    if (sectors == 0)
        return fail("attach: the size of the RAM disk is 0");
    const uint64_t memory = physicalMemory();
    if (memory == 0 || sectors > memory / 512)
        return fail("attach: the size of the RAM disk is beyond the machine's memory");

    const uid_t caller = callerUid();
    const std::string random = randomHex();
    if (random.empty())
        return fail("attach: no random name available");
    const std::string backing = std::string(kBackingPrefix) + std::to_string(caller) + "-" + random;

    State state;
    if (!state.ok())
        return fail("attach: " + state.error());
    std::vector<StateEntry> records, entries;
    if (!state.read(&records) || !state.entries(&entries))
        return fail("attach: " + state.error());
    if (caller != 0) {
        // One user must not take the memory or the loop devices of everyone.
        uint64_t used = 0;
        size_t count = 0;
        for (const auto &e : entries) {
            LoopDevice d;
            if (e.owner == caller && readLoopDevice(loopIndexFromNode(e.node), &d)) {
                used += d.sectors * 512;
                ++count;
            }
        }
        if (count >= QMVolumeRules::kMaxDevicesPerUser)
            return fail("attach: this user has " + std::to_string(count) + " RAM disks already, the most one user may have");
        const uint64_t allowed = QMVolumeRules::memoryPerUser(memory);
        if (used + sectors * 512 > allowed)
            return fail("attach: this user's RAM disks would take " + std::to_string(used + sectors * 512)
                        + " bytes, more than the " + std::to_string(allowed)
                        + " bytes one user may have (the machine's memory less its reserve)");
    }

    Fd file(open(backing.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid())
        return fail("attach: " + errnoText("cannot create " + backing));
    // Nameless at once: the open descriptor, then the loop device, keep the memory alive,
    // and nothing is left behind whatever happens to us from here on. The kernel still
    // reports the name (with " (deleted)"), which is how our devices are told apart.
    if (unlink(backing.c_str()) != 0)
        return fail("attach: " + errnoText("cannot prepare " + backing));
    if (ftruncate(file.get(), static_cast<off_t>(sectors * 512)) != 0)
        return fail("attach: " + errnoText("cannot size " + backing));
    struct stat fileStat;
    if (fstat(file.get(), &fileStat) != 0)
        return fail("attach: " + errnoText("cannot read " + backing));

    std::string why;
    const int index = attachLoop(file.get(), sectors, &why);
    if (index < 0)
        return fail("attach: " + why);
    const std::string node = "/dev/loop" + std::to_string(index);
    Undo detach([&] {
        std::string ignored;
        detachLoop(node, &ignored);
    });

    LoopDevice attached;
    if (!readLoopDevice(index, &attached) || attached.backing != backing || attached.inode != fileStat.st_ino)
        return fail("attach: " + node + " does not show the new memory file");
    records.push_back({node, backing, caller, static_cast<uint64_t>(fileStat.st_ino), attached.diskseq});
    if (!state.write(records, &why))
        return fail("attach: " + why);

    detach.dismiss();

    plist_t root = plist_new_dict();
    plist_t entitiesArray = plist_new_array();
    plist_t entity = plist_new_dict();
    plist_dict_set_item(entity, "dev-entry", plist_new_string(node.c_str()));
    plist_array_append_item(entitiesArray, entity);
    plist_dict_set_item(root, "system-entities", entitiesArray);
    printPlist(root);
    plist_free(root);
    return 0;
}

static int hdiutilInfo(const Args &args)
{
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "-plist")
            return fail("info: unknown argument \"" + args[i] + "\"");
    }
    const uid_t caller = callerUid();
    // Only the record tells whose a device is (a name is easily made to look like ours).
    // Root reads it; a normal user reads its public copy.
    const bool asRoot = geteuid() == 0;
    std::unique_ptr<State> state;
    std::vector<StateEntry> entries;
    if (asRoot) {
        state = std::make_unique<State>();
        if (!state->ok())
            return fail("info: " + state->error());
        if (!state->entries(&entries))
            return fail("info: " + state->error());
    } else {
        entries = readPublicList();
    }
    const auto table = readMountTable();
    plist_t root = plist_new_dict();
    plist_t images = plist_new_array();
    for (const auto &device : quilmoLoopDevices()) {
        const StateEntry *record = nullptr;
        for (const auto &e : entries) {
            if (describes(e, device, asRoot))
                record = &e;
        }
        if (caller != 0 && (!record || record->owner != caller))
            continue;
        plist_t image = plist_new_dict();
        // Root sees every device that looks like ours, so that none is ever out of reach.
        if (!record)
            plist_dict_set_item(image, "unrecorded", plist_new_bool(1));
        plist_dict_set_item(image, "image-path", plist_new_string(("ram://" + std::to_string(device.sectors)).c_str()));
        plist_t entities = plist_new_array();
        plist_t entity = plist_new_dict();
        plist_dict_set_item(entity, "dev-entry", plist_new_string(device.node.c_str()));
        const auto points = mountPointsOf(device.device, table);
        if (!points.empty())
            plist_dict_set_item(entity, "mount-point", plist_new_string(points.front().c_str()));
        plist_array_append_item(entities, entity);
        plist_dict_set_item(image, "system-entities", entities);
        plist_array_append_item(images, image);
    }
    plist_dict_set_item(root, "images", images);
    printPlist(root);
    plist_free(root);
    return 0;
}

static int hdiutilDetach(const Args &args)
{
    // "-force": when the device is still held (a forced unmount leaves the file system to
    // those who hold it), the kernel releases it when they let go instead of a refusal.
    const bool force = args.size() == 3 && args[1] == "-force";
    if (args.size() != 2 && !force)
        return fail("detach: exactly one device is needed (\"detach [-force] DEVICE\")");
    const std::string &node = args.back();
    if (looksLikeOption(node))
        return fail("detach: unknown option \"" + node + "\"");
    const uid_t caller = callerUid();
    State state;
    if (!state.ok())
        return fail("detach: " + state.error());
    LoopDevice device;
    std::string why;
    bool recorded = false;
    if (!authorizeDevice(state, node, caller, Purpose::Release, &device, &why, &recorded))
        return fail("detach: " + why);
    const auto points = mountPointsOf(device.device, readMountTable());
    if (!points.empty())
        return fail("detach: " + node + " is mounted at " + points.front());
    // Until the device is really free, its record stays: a later detach finishes the job.
    if (!releaseLoop(device, &why)) {
        if (!force || why.find(kStillInUse) == std::string::npos)
            return fail("detach: " + why);
        std::string markWhy;
        if (!releaseLoopAtLastClose(device, &markWhy))
            return fail("detach: " + why + "; " + markWhy);
        std::printf("%s is still held; it is released when the last one lets go\n", node.c_str());
        return 0;
    }
    // Should this fail, the device is gone all the same: its entry is stale and the next
    // writing of the record drops it, so the detach still succeeded.
    std::vector<StateEntry> records, kept;
    if (state.read(&records)) {
        for (const auto &e : records) {
            if (e.node != node)
                kept.push_back(e);
        }
        state.write(kept, &why);
    }
    // Normally unlinked right after attaching; an older attach may have left the name. Only
    // the very file of a recorded device goes: a file that merely carries such a name is
    // someone else's.
    struct stat st;
    if (recorded && device.inode != 0 && lstat(device.backing.c_str(), &st) == 0 && S_ISREG(st.st_mode)
        && st.st_ino == device.inode)
        unlink(device.backing.c_str());
    return 0;
}

int hdiutil(const Args &args)
{
    if (args.empty())
        return fail("no verb given (attach, info, detach)");
    if (args[0] == "attach")
        return hdiutilAttach(args);
    if (args[0] == "info")
        return hdiutilInfo(args);
    if (args[0] == "detach")
        return hdiutilDetach(args);
    return fail("unsupported verb \"" + args[0] + "\"");
}

// ---- newfs_hfs -----------------------------------------------------------------------

static bool kernelHasCasefold()
{
    return access("/sys/fs/ext4/features/casefold", F_OK) == 0;
}

// Whether an authorized device may be formatted now: mounted nowhere (in no mount
// namespace) and held by no one. Fills the formatting program's path.
static bool canFormat(const LoopDevice &device, std::string *mke2fs, std::string *why)
{
    const auto points = mountPointsOf(device.device, readMountTable());
    if (!points.empty()) {
        *why = device.node + " is mounted at " + points.front();
        return false;
    }
    if (isHeldExclusively(device.node)) {
        *why = device.node + " " + kStillInUse;
        return false;
    }
    *mke2fs = findTool({"/usr/sbin/mke2fs", "/sbin/mke2fs"});
    if (mke2fs->empty()) {
        *why = "mke2fs is needed (package e2fsprogs)";
        return false;
    }
    return true;
}

// Formats one of the caller's devices, checked with canFormat, as ext4 with the smallest
// journal, laid out as QMFormatRules says (so that the manager knows beforehand what it
// will hold), with at least `inodes` inodes (0: the default). Fills the one-line summary on
// success.
static bool formatDevice(const LoopDevice &device, const std::string &mke2fs, const std::string &name,
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

int newfsHfs(const Args &args)
{
    bool caseSensitive = false;
    std::string name, node;
    bool haveName = false;
    uint64_t inodes = 0;
    bool haveInodes = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-s") {
            caseSensitive = true;
        } else if (a == "-N") {
            // At least this many inodes: what a creation will copy onto the volume, and room.
            if (i + 1 >= args.size())
                return fail("-N needs a number of inodes");
            if (haveInodes)
                return fail("-N given more than once");
            const std::string &count = args[++i];
            if (!parseUnsigned(count, &inodes) || (count.size() > 1 && count[0] == '0'))
                return fail("-N: \"" + count + "\" is not a number of inodes");
            haveInodes = true;
        } else if (a == "-v") {
            if (i + 1 >= args.size())
                return fail("-v needs a volume name");
            name = args[++i];
            haveName = true;
        } else if (looksLikeOption(a)) {
            return fail("unknown option \"" + a + "\"");
        } else if (!node.empty()) {
            return fail("more than one device given");
        } else {
            node = a;
        }
    }
    if (!haveName || node.empty())
        return fail("usage: newfs_hfs [-s] [-N INODES] -v NAME DEVICE");
    std::string why;
    if (!isAcceptableName(name, &why))
        return fail(why);
    State state;
    if (!state.ok())
        return fail(state.error());
    LoopDevice device;
    if (!authorizeDevice(state, node, callerUid(), Purpose::Use, &device, &why))
        return fail(why);
    if (haveInodes) {
        if (const char *problem = QMFormatRules::inodeCountProblem(device.sectors * 512, inodes))
            return fail(std::string("-N ") + std::to_string(inodes) + ": " + problem);
    }
    std::string mke2fs, summary;
    if (!canFormat(device, &mke2fs, &why)
        || !formatDevice(device, mke2fs, name, caseSensitive, inodes, callerUid(), &summary, &why))
        return fail(why);
    std::printf("%s\n", summary.c_str());
    return 0;
}

// ---- mount / umount ------------------------------------------------------------------

// What the superblock of the device's ext4 tells: never mounted yet (fresh from mke2fs,
// its last-mount time still 0), made with case folding, and its size in blocks.
struct Superblock {
    bool neverMounted = false;
    bool casefold = false;
    bool hasJournal = false;
    uint64_t blocks = 0;
};

static bool readSuperblock(const LoopDevice &device, Superblock *out)
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
static void setReservedBlocks(const LoopDevice &device, uint64_t blocks)
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
static bool tidyFreshVolume(int mountFd, bool casefold, std::string *why)
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
static bool mountOnto(const LoopDevice &device, int targetFd, std::string *why)
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
    return true;
}

int mountTool(const Args &args)
{
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-o" || a == "-t") {
            if (i + 1 >= args.size())
                return fail(a + " needs a value");
            const std::string value = args[++i];
            if (a == "-t") {
                if (value != "hfs" && value != "ext4")
                    return fail("unsupported file system type \"" + value + "\"");
                continue;
            }
            size_t start = 0;
            while (start <= value.size()) {
                const size_t comma = value.find(',', start);
                const std::string option = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                // nobrowse keeps a volume out of the file browser's list of devices. Linux
                // file managers list the mounts under /media (where the mounts without
                // nobrowse go) and leave the others out already, so it needs no work here.
                if (option != "noatime" && option != "nobrowse")
                    return fail("unsupported mount option \"" + option + "\"");
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (looksLikeOption(a)) {
            return fail("unknown option \"" + a + "\"");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2)
        return fail("usage: mount -o noatime [-o nobrowse] -t hfs DEVICE PATH");
    const uid_t caller = callerUid();
    // Held so that a detach cannot slip in between the checks and the mount.
    State state;
    if (!state.ok())
        return fail(state.error());
    LoopDevice device;
    std::string why;
    if (!authorizeDevice(state, positional[0], caller, Purpose::Use, &device, &why))
        return fail(why);
    const auto points = mountPointsOf(device.device, readMountTable());
    if (!points.empty())
        return fail(device.node + " is already mounted at " + points.front());
    std::string normalized;
    Fd target = openMountTarget(state, positional[1], caller, &normalized, &why);
    if (!target.valid())
        return fail(why);
    if (!mountOnto(device, target.get(), &why))
        return fail(why);
    return 0;
}

// Marks the mount directories that diskutil makes (only root can read or write it).
static const char *kMadeForVolumeAttribute = "trusted.org.quilmo.made-for-volume";

static std::string parentOf(const std::string &normalized)
{
    const size_t slash = normalized.rfind('/');
    return slash == 0 ? "/" : normalized.substr(0, slash);
}

int umountTool(const Args &args)
{
    bool force = false;
    std::string path;
    for (const auto &a : args) {
        if (a == "-f")
            force = true;
        else if (looksLikeOption(a))
            return fail("unknown option \"" + a + "\"");
        else if (!path.empty())
            return fail("more than one path given");
        else
            path = a;
    }
    if (path.empty())
        return fail("usage: umount -f PATH");
    std::string normalized, why;
    if (!normalizeAbsolutePath(path, &normalized, &why))
        return fail(why);
    if (normalized == "/")
        return fail("\"/\" is not a RAM disk");
    const std::string parent = parentOf(normalized);
    const std::string name = normalized.substr(normalized.rfind('/') + 1);
    Fd parentFd = openDirectoryNoFollow(parent, &why);
    if (!parentFd.valid())
        return fail(why);

    struct statx stx;
    if (statx(parentFd.get(), name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID, &stx) != 0)
        return fail(errnoText("cannot read \"" + normalized + "\""));
    if (S_ISLNK(stx.stx_mode))
        return fail("the path \"" + normalized + "\" passes through a symbolic link");
    if (!(stx.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        return fail("\"" + normalized + "\" is not a mount point");
    const int mountId = static_cast<int>(stx.stx_mnt_id);

    dev_t mounted = 0;
    bool found = false;
    for (const auto &e : readMountTable()) {
        if (e.mountId == mountId) {
            mounted = e.device;
            found = true;
        }
    }
    State state;
    if (!state.ok())
        return fail(state.error());
    LoopDevice device;
    bool ours = false;
    if (found) {
        for (const auto &d : quilmoLoopDevices()) {
            if (d.device == mounted) {
                if (!authorizeDevice(state, d.node, callerUid(), Purpose::Release, &device, &why))
                    return fail(why);
                ours = true;
            }
        }
    }
    if (!ours)
        return fail("\"" + normalized + "\" is not a mounted RAM disk of Quilmo");

    // Unmount by the last component from the opened parent, so that no link swapped into
    // the path can redirect it.
    if (fchdir(parentFd.get()) != 0)
        return fail(errnoText("cannot enter \"" + parent + "\""));
    // A RAM disk's trim keeper looks into the volume now and then for a moment: a busy
    // volume is only taken as busy once a few short waits did not help.
    int unmounted = umount2(name.c_str(), UMOUNT_NOFOLLOW);
    for (int attempt = 0; unmounted != 0 && errno == EBUSY && attempt < 5; ++attempt) {
        usleep(100 * 1000);
        unmounted = umount2(name.c_str(), UMOUNT_NOFOLLOW);
    }
    if (unmounted != 0) {
        // Forced: files still open keep the file system alive until they are closed, but the
        // volume is gone from the path, as the caller asked.
        if (!(force && errno == EBUSY && umount2(name.c_str(), UMOUNT_NOFOLLOW | MNT_DETACH) == 0))
            return fail(errnoText("cannot unmount \"" + normalized + "\""));
    }
    // Success means the file system is gone from the caller's view: not still mounted
    // there (a mount stacked below) or anywhere else in this mount namespace.
    const auto remaining = mountPointsOf(device.device, readMountTable());
    if (!remaining.empty())
        return fail(device.node + " is still mounted at " + remaining.front());
    // The directories diskutil made under /media/<user> go away with their volume.
    if (startsWith(parent, "/media/") && parent.find('/', 7) == std::string::npos) {
        char mark = 0;
        if (lgetxattr(normalized.c_str(), kMadeForVolumeAttribute, &mark, 1) == 1)
            unlinkat(parentFd.get(), name.c_str(), AT_REMOVEDIR);
    }
    return 0;
}

// ---- diskutil ------------------------------------------------------------------------

// /media/<user>: root's, readable by that user alone (as udisks makes it), through an
// access control list.
static Fd openMediaDirectory(uid_t caller, std::string *path, std::string *why)
{
    std::string user;
    if (!userNameOf(caller, &user, nullptr)) {
        *why = "the calling user has no name";
        return Fd();
    }
    std::string ignored;
    if (!isAcceptableName(user, &ignored)) {
        *why = "the calling user's name is not usable as a directory";
        return Fd();
    }
    if (mkdir("/media", 0755) == 0)
        chmod("/media", 0755); // everyone's way to their volumes, whatever the umask
    else if (errno != EEXIST) {
        *why = errnoText("cannot create /media");
        return Fd();
    }
    Fd media = openDirectoryNoFollow("/media", why);
    if (!media.valid())
        return media;
    *path = "/media/" + user;
    const bool created = mkdirat(media.get(), user.c_str(), 0750) == 0;
    if (!created && errno != EEXIST) {
        *why = errnoText("cannot create " + *path);
        return Fd();
    }
    Fd dir(openat(media.get(), user.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || fstat(dir.get(), &st) != 0 || st.st_uid != 0) {
        *why = *path + " is not a directory owned by root";
        return Fd();
    }
    if (created && caller != 0) {
        struct Entry {
            uint16_t tag, perm;
            uint32_t id;
        };
        struct {
            uint32_t version;
            Entry entries[5];
        } __attribute__((packed)) acl = {2,
                                         {{0x01, 7, 0xffffffffu},
                                          {0x02, 5, static_cast<uint32_t>(caller)},
                                          {0x04, 5, 0xffffffffu},
                                          {0x10, 5, 0xffffffffu},
                                          {0x20, 0, 0xffffffffu}}};
        // Without ACL support the user still has to get in: fall back to a readable mode.
        if (lsetxattr(path->c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) != 0)
            chmod(path->c_str(), 0755);
    }
    return dir;
}

static bool isEmptyDirectory(int parentFd, const std::string &name)
{
    const int fd = openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR *dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    bool empty = true;
    while (struct dirent *entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    closedir(dir);
    return empty;
}

// Takes the place in the media directory where the volume goes: the name, or "name 1",
// "name 2"... when it is taken. An empty directory that is no mount point is used as it
// is; *created tells whether it was made here (and so has to go again on failure).
static Fd reserveMediaPlace(int mediaFd, const std::string &name, std::string *leaf, bool *created, std::string *why)
{
    for (int n = 0; n < 100; ++n) {
        *leaf = n == 0 ? name : name + " " + std::to_string(n);
        if (leaf->size() > QMVolumeRules::kNameMaxBytes)
            break;
        *created = mkdirat(mediaFd, leaf->c_str(), 0700) == 0;
        if (!*created && (errno != EEXIST || !isEmptyDirectory(mediaFd, *leaf)))
            continue;
        Fd target(openat(mediaFd, leaf->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        bool isMountRoot = true;
        int mountId = 0;
        std::string ignored;
        if (target.valid() && mountRootInfo(target.get(), &isMountRoot, &mountId, &ignored) && !isMountRoot)
            return target;
        if (*created)
            unlinkat(mediaFd, leaf->c_str(), AT_REMOVEDIR);
    }
    *created = false;
    *why = "no free place for \"" + name + "\"";
    return Fd();
}

int diskutil(const Args &args)
{
    if (args.empty() || args[0] != "erasevolume")
        return fail("only \"erasevolume FORMAT NAME DEVICE\" is supported");
    if (args.size() != 4)
        return fail("usage: diskutil erasevolume FORMAT NAME DEVICE");
    const std::string &format = args[1];
    const std::string &name = args[2];
    const std::string &node = args[3];
    bool caseSensitive = false;
    if (format == "Case-sensitive HFS+" || format == "Case-sensitive Journaled HFS+")
        caseSensitive = true;
    else if (format != "HFS+" && format != "Journaled HFS+")
        return fail("unsupported format \"" + format + "\"");
    std::string why;
    if (!isAcceptableName(name, &why))
        return fail(why);
    const uid_t caller = callerUid();
    State state;
    if (!state.ok())
        return fail(state.error());
    LoopDevice device;
    if (!authorizeDevice(state, node, caller, Purpose::Use, &device, &why))
        return fail(why);
    std::string mke2fs;
    if (!canFormat(device, &mke2fs, &why))
        return fail(why);
    std::string mediaPath;
    Fd media = openMediaDirectory(caller, &mediaPath, &why);
    if (!media.valid())
        return fail(why);
    // The place is settled before the device is erased: a refusal leaves the device as it was.
    std::string leaf;
    bool created = false;
    Fd target = reserveMediaPlace(media.get(), name, &leaf, &created, &why);
    if (!target.valid())
        return fail(why + " in " + mediaPath);
    Undo removePlace([&] {
        if (created)
            unlinkat(media.get(), leaf.c_str(), AT_REMOVEDIR);
    });
    std::string summary;
    if (!formatDevice(device, mke2fs, name, caseSensitive, 0, caller, &summary, &why))
        return fail(why);
    if (created)
        lsetxattr((mediaPath + "/" + leaf).c_str(), kMadeForVolumeAttribute, "1", 1, 0);
    if (!mountOnto(device, target.get(), &why))
        return fail(why);
    removePlace.dismiss();
    std::printf("Finished erase of %s, mounted at %s/%s\n", device.node.c_str(), mediaPath.c_str(), leaf.c_str());
    return 0;
}

// ---- mdutil --------------------------------------------------------------------------

// Desktop indexers (Tracker) leave alone every directory that holds this file.
static const char *kIndexerIgnoreFile = ".trackerignore";

// Gives up root for the caller's own identity, so that the marker is made (and removed)
// with exactly the caller's rights.
static bool becomeCaller(uid_t caller, std::string *why)
{
    gid_t gid = static_cast<gid_t>(caller);
    userNameOf(caller, nullptr, &gid);
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(caller, caller, caller) != 0) {
        *why = errnoText("cannot act as the calling user");
        return false;
    }
    return true;
}

int mdutil(const Args &args)
{
    std::string mode, path;
    if (args.size() == 3 && args[0] == "-i" && (args[1] == "on" || args[1] == "off")) {
        mode = args[1];
        path = args[2];
    } else if (args.size() == 2 && (args[0] == "-E" || args[0] == "-d")) {
        mode = args[0];
        path = args[1];
    } else {
        return fail("usage: mdutil -i on|off PATH, mdutil -E PATH, mdutil -d PATH");
    }
    std::string normalized, why;
    if (!normalizeAbsolutePath(path, &normalized, &why))
        return fail(why);
    Fd dir = openDirectoryNoFollow(normalized, &why);
    if (!dir.valid())
        return fail(why);
    // Only the caller's own directories, or the root of their own mounted RAM disk: run as
    // root for someone, this must not touch anyone else's places.
    const uid_t caller = callerUid();
    if (caller != 0) {
        struct stat st;
        if (fstat(dir.get(), &st) != 0)
            return fail(errnoText("cannot read \"" + normalized + "\""));
        bool allowed = st.st_uid == caller;
        if (allowed && geteuid() == 0 && !becomeCaller(caller, &why))
            return fail(why);
        bool isMountRoot = false;
        int mountId = 0;
        if (!allowed && mountRootInfo(dir.get(), &isMountRoot, &mountId, &why) && isMountRoot) {
            if (geteuid() == 0) {
                State state;
                allowed = state.ok() && isCallersRamDiskMount(state, mountId, caller);
            } else {
                const auto table = readMountTable();
                for (const auto &e : readPublicList()) {
                    LoopDevice d;
                    if (e.owner != caller || !readLoopDevice(loopIndexFromNode(e.node), &d))
                        continue;
                    for (const auto &m : table)
                        allowed = allowed || (m.mountId == mountId && m.device == d.device);
                }
            }
        }
        if (!allowed)
            return fail("\"" + normalized + "\" is not owned by the calling user");
    }
    // -E (erase the index) and -d (disable it): the marker already keeps indexers away and
    // there is no index of ours to erase.
    if (mode == "off") {
        Fd marker(openat(dir.get(), kIndexerIgnoreFile, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        if (!marker.valid())
            return fail(errnoText("cannot turn indexing off for \"" + normalized + "\""));
    } else if (mode == "on") {
        if (unlinkat(dir.get(), kIndexerIgnoreFile, 0) != 0 && errno != ENOENT)
            return fail(errnoText("cannot turn indexing on for \"" + normalized + "\""));
    }
    return 0;
}

// ---- purge ---------------------------------------------------------------------------

int purge(const Args &args)
{
    if (!args.empty())
        return fail("purge takes no arguments");
    sync();
    Fd caches(open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC));
    if (!caches.valid() || write(caches.get(), "1", 1) != 1)
        return fail(errnoText("cannot drop the clean caches"));
    return 0;
}

// ---- dispatch ------------------------------------------------------------------------

bool needsRoot(const std::string &personality, const Args &args)
{
    if (personality == "mdutil")
        return false;
    if (personality == "hdiutil")
        return !args.empty() && args[0] != "info";
    return personality == "newfs_hfs" || personality == "mount" || personality == "umount"
        || personality == "diskutil" || personality == "purge";
}

int runPersonality(const std::string &personality, const Args &args)
{
    setPersonalityForMessages(personality);
    if (personality == "hdiutil")
        return hdiutil(args);
    if (personality == "newfs_hfs")
        return newfsHfs(args);
    if (personality == "mount")
        return mountTool(args);
    if (personality == "umount")
        return umountTool(args);
    if (personality == "diskutil")
        return diskutil(args);
    if (personality == "mdutil")
        return mdutil(args);
    if (personality == "purge")
        return purge(args);
    setPersonalityForMessages("quilmo-disktool");
    fail("unknown tool \"" + personality + "\" (hdiutil, newfs_hfs, mount, umount, diskutil, mdutil, purge)");
    return 2;
}

} // namespace dt
