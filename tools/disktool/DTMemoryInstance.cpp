// The memory realisation: each RAM disk is a tmpfs instance of its own (its own
// superblock, sized as asked), mounted by the tool in a root-only place and shown where
// the user asks by a bind mount of it. Unmounting removes the bind only: the files stay in
// memory and a later bind shows them again. Releasing unmounts the instance itself, which
// gives its memory back at once; deleted files give theirs back at once as well.

#include "DTRamDevice.h"

#include "DTPaths.h"
#include "QMFormatRules.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace dt {

namespace {

const char *const kPrefix = QMFormatRules::kMemoryInstancePrefix;

uint64_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<uint64_t>(size) : 4096;
}

uint64_t instanceBytes(uint64_t sectors)
{
    return QMFormatRules::memoryInstanceBytes(sectors, pageSize());
}

// Where the instances live, as the mount table names it (also for callers without root,
// who cannot open it).
std::string placePath()
{
    char resolved[PATH_MAX];
    const std::string run = realpath(kRunDir, resolved) ? std::string(resolved) : std::string(kRunDir);
    return (run == "/" ? std::string() : run) + "/" + kStateDirName + "/" + kInstancePlaceName;
}

bool setOption(int fs, const char *key, const std::string &value, std::string *why)
{
    if (fsconfig(fs, FSCONFIG_SET_STRING, key, value.c_str(), 0) == 0)
        return true;
    *why = errnoText(std::string("cannot set the memory instance's ") + key);
    return false;
}

// A new tmpfs superblock as a detached mount (attached nowhere yet): the record's size,
// name, owner and wired memory, and case folding when asked. With `casefold` the kernel
// may say no; *casefold then tells what was made.
Fd makeInstance(const InstanceEntry &e, bool *casefold, std::string *why)
{
    gid_t gid = static_cast<gid_t>(e.owner);
    userNameOf(e.owner, nullptr, &gid); // a uid without an entry keeps its number as group
    const uint64_t bytes = instanceBytes(e.sectors);
    Fd fs(fsopen("tmpfs", FSOPEN_CLOEXEC));
    if (!fs.valid()) {
        *why = errnoText("cannot open tmpfs");
        return Fd();
    }
    if (!setOption(fs.get(), "source", e.name, why) || !setOption(fs.get(), "size", std::to_string(bytes), why)
        || !setOption(fs.get(), "nr_inodes", std::to_string(QMFormatRules::memoryInstanceInodes(bytes, pageSize())), why)
        || !setOption(fs.get(), "mode", "0700", why) || !setOption(fs.get(), "uid", std::to_string(e.owner), why)
        || !setOption(fs.get(), "gid", std::to_string(gid), why))
        return Fd();
    if (e.wired && fsconfig(fs.get(), FSCONFIG_SET_FLAG, "noswap", nullptr, 0) != 0) {
        *why = errnoText("cannot keep the memory instance out of swap");
        return Fd();
    }
    // Case-insensitive names need a kernel built with Unicode support (6.13 and later);
    // elsewhere the volume is case-sensitive, and says so.
    if (*casefold && fsconfig(fs.get(), FSCONFIG_SET_FLAG, "casefold", nullptr, 0) != 0)
        *casefold = false;
    if (fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        *why = errnoText("cannot make the memory instance");
        return Fd();
    }
    Fd mount(fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOATIME | MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    if (!mount.valid()) {
        *why = errnoText("cannot mount the memory instance");
        return Fd();
    }
    if (*casefold) {
        // New directories inherit the flag from the root.
        Fd root(openat(mount.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        int flags = 0;
        if (!root.valid() || ioctl(root.get(), FS_IOC_GETFLAGS, &flags) != 0) {
            *why = errnoText("cannot read the root directory's flags");
            return Fd();
        }
        if (!(flags & FS_CASEFOLD_FL)) {
            flags |= FS_CASEFOLD_FL;
            if (ioctl(root.get(), FS_IOC_SETFLAGS, &flags) != 0) {
                *why = errnoText("cannot make the root directory case-insensitive");
                return Fd();
            }
        }
    }
    return mount;
}

// The device number and mount id of a mount.
bool identify(int mountFd, InstanceEntry *e, std::string *why)
{
    struct statx stx;
    if (statx(mountFd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_MNT_ID, &stx) != 0 || !(stx.stx_mask & STATX_MNT_ID)) {
        *why = errnoText("cannot identify the memory instance");
        return false;
    }
    e->device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    e->mountId = static_cast<int>(stx.stx_mnt_id);
    e->mountNamespace = mountNamespace();
    return true;
}

// Unmounts the instance's own mount in the place (never a bind of it); EBUSY leaves it.
int unmountInPlace(int placeFd, const std::string &name, int flags)
{
    if (fchdir(placeFd) != 0)
        return -1;
    const int result = umount2(name.c_str(), UMOUNT_NOFOLLOW | flags);
    const int saved = errno;
    if (chdir("/") != 0) {
        // The working directory only matters to relative paths, of which none follow.
    }
    errno = saved;
    return result;
}

// The instance's own mount in this namespace, as the record describes it; null when it is
// gone (or the record names another namespace).
const MountEntry *ownMount(const InstanceEntry &e, const std::vector<MountEntry> &table, const std::string &place)
{
    if (e.mountNamespace != mountNamespace())
        return nullptr;
    for (const auto &m : table) {
        if (m.mountId == e.mountId && m.device == e.device && m.source == e.name && m.fsType == "tmpfs"
            && m.mountPoint == place + "/" + e.name)
            return &m;
    }
    return nullptr;
}

// A record that describes nothing any more: its instance was in this namespace and is gone,
// or, released, no namespace holds it any longer. Records of other namespaces cannot be
// judged from here and stay.
bool isStale(const InstanceEntry &e, const std::vector<MountEntry> &table, const std::string &place, uint64_t ns)
{
    if (e.released)
        return !mountedInAnyNamespace(e.device, e.name);
    return e.mountNamespace == ns && !ownMount(e, table, place);
}

// Writes the records less the stale ones; `pending` is kept although its mount is not in
// its place yet (the record is written first, so that a run killed half way never leaves an
// instance without a record, only a record that the next writing drops).
bool writeRecords(State &state, const std::vector<InstanceEntry> &records, std::string *why,
                  const InstanceEntry *pending = nullptr)
{
    // Read without giving up the process: a failure here must still undo what was done.
    const auto table = readMountTable("/proc/self/mountinfo");
    if (table.empty()) {
        *why = errnoText("cannot read the mount table");
        return false;
    }
    const std::string place = placePath();
    const uint64_t ns = mountNamespace();
    std::vector<InstanceEntry> kept;
    for (const auto &e : records) {
        if ((pending && e.name == pending->name && e.mountId == pending->mountId) || !isStale(e, table, place, ns))
            kept.push_back(e);
    }
    return state.writeInstances(kept, why);
}

// An instance in the place that no record describes (a run killed between mounting it
// and recording it); root may release it.
bool findUnrecorded(const std::string &name, const std::vector<MountEntry> &table, const std::string &place,
                    InstanceEntry *e)
{
    for (const auto &m : table) {
        if (m.source != name || m.fsType != "tmpfs" || m.mountPoint != place + "/" + name)
            continue;
        e->name = name;
        e->device = m.device;
        e->mountId = m.mountId;
        e->mountNamespace = mountNamespace();
        // Its size, as the mount says it ("size=65536k").
        const size_t at = m.superOptions.find("size=");
        uint64_t kib = 0;
        if (at != std::string::npos) {
            const std::string value = m.superOptions.substr(at + 5, m.superOptions.find_first_of(",k", at) - at - 5);
            if (parseUnsigned(value, &kib))
                e->sectors = kib * 2;
        }
        return true;
    }
    return false;
}

class MemoryInstance : public RamDevice {
public:
    MemoryInstance(const InstanceEntry &entry, const MountEntry &own, bool recorded)
        : _entry(entry), _own(own), _recorded(recorded)
    {
    }

    const std::string &name() const override { return _entry.name; }
    uint64_t sectors() const override { return _entry.sectors; }
    std::string volumeName() const override { return _entry.volumeName; }
    bool released() const override { return _entry.released; }

    // Its binds: every mount of the instance but its own.
    bool isShownBy(const MountEntry &mount) const override
    {
        return mount.device == _entry.device && mount.mountId != _entry.mountId;
    }

    std::string heldBy() const override
    {
        const std::string where = mountedInOtherNamespaces(_entry.device, _own);
        return where.empty() ? where : "is still in use by another mount namespace or process (" + where + ")";
    }

    bool canFormat(const FormatRequest &request, std::string *why) const override
    {
        // Its count follows from its size: asking for more than that is refused, as ext4
        // refuses more than its device takes.
        const uint64_t most = QMFormatRules::memoryInstanceFreeInodes(instanceBytes(_entry.sectors), pageSize());
        if (request.inodes && (*request.inodes == 0 || *request.inodes > most)) {
            *why = "-N " + std::to_string(*request.inodes) + ": "
                + (*request.inodes == 0 ? std::string("The number of inodes must be at least 1.")
                                        : "The number of inodes is more than the RAM disk can hold ("
                                              + std::to_string(most) + ").");
            return false;
        }
        return true;
    }

    // A fresh instance takes the old one's place: empty by construction, made with the
    // format's case rule (fixed when a tmpfs is made), and the old memory goes at once.
    bool format(State &state, const FormatRequest &request, std::string *summary, std::string *why) override
    {
        std::string place;
        Fd placeFd = state.openInstancePlace(&place, why);
        if (!placeFd.valid())
            return false;
        InstanceEntry fresh = _entry;
        fresh.owner = _recorded ? _entry.owner : request.caller;
        fresh.volumeName = request.volumeName;
        bool casefold = !request.caseSensitive;
        Fd mount = makeInstance(fresh, &casefold, why);
        if (!mount.valid() || !identify(mount.get(), &fresh, why))
            return false;
        fresh.casefold = casefold;
        std::vector<InstanceEntry> records, kept;
        if (!state.readInstances(&records)) {
            *why = state.error();
            return false;
        }
        for (const auto &e : records) {
            if (e.name != _entry.name)
                kept.push_back(e);
        }
        kept.push_back(fresh);
        if (unmountInPlace(placeFd.get(), _entry.name, 0) != 0) {
            *why = errno == EBUSY ? _entry.name + " is still in use" : errnoText("cannot replace " + _entry.name);
            return false;
        }
        // From here the old instance is gone: the new one is recorded, then put in place.
        if (!writeRecords(state, kept, why, &fresh))
            return false;
        Fd dir(openat(placeFd.get(), _entry.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid()
            || move_mount(mount.get(), "", dir.get(), "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            *why = errnoText("cannot put the new memory instance in place of " + _entry.name);
            unlinkat(placeFd.get(), _entry.name.c_str(), AT_REMOVEDIR);
            return false;
        }
        _entry = fresh;
        _recorded = true;
        *summary = "Initialized " + _entry.name + " as a " + sizeText(_entry.sectors * 512) + " "
            + (casefold ? "case-insensitive" : "case-sensitive") + " memory volume";
        return true;
    }

    // A bind of the instance's own mount, made from the mount itself rather than from a
    // path, and checked to be that instance before it goes onto the opened target.
    bool show(State &state, int targetFd, Fd *shown, std::string *why) override
    {
        std::string place;
        Fd placeFd = state.openInstancePlace(&place, why);
        if (!placeFd.valid())
            return false;
        Fd tree(static_cast<int>(open_tree(placeFd.get(), _entry.name.c_str(),
                                           OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT)));
        if (!tree.valid()) {
            *why = errnoText("cannot take " + _entry.name + " to show it");
            return false;
        }
        struct statx stx;
        if (statx(tree.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx) != 0
            || makedev(stx.stx_dev_major, stx.stx_dev_minor) != _entry.device
            || !(stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
            *why = _entry.name + " is not where its record says";
            return false;
        }
        struct mount_attr attr;
        std::memset(&attr, 0, sizeof attr);
        attr.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOATIME;
        attr.attr_clr = MOUNT_ATTR__ATIME;
        if (mount_setattr(tree.get(), "", AT_EMPTY_PATH, &attr, sizeof attr) != 0) {
            *why = errnoText("cannot set the options of " + _entry.name);
            return false;
        }
        if (move_mount(tree.get(), "", targetFd, "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            *why = errnoText("cannot show " + _entry.name);
            return false;
        }
        *shown = std::move(tree);
        return true;
    }

    bool release(State &state, bool force, bool *deferred, std::string *why) override
    {
        *deferred = false;
        const std::string held = heldBy();
        if (!held.empty() && !force) {
            *why = _entry.name + " " + held;
            return false;
        }
        std::string place;
        Fd placeFd = state.openInstancePlace(&place, why);
        if (!placeFd.valid())
            return false;
        if (unmountInPlace(placeFd.get(), _entry.name, 0) != 0) {
            // Files still open in it: forced, the kernel frees the memory when they close.
            if (!(force && errno == EBUSY && unmountInPlace(placeFd.get(), _entry.name, MNT_DETACH) == 0)) {
                *why = errno == EBUSY ? _entry.name + " is still in use" : errnoText("cannot release " + _entry.name);
                return false;
            }
            *deferred = true;
        }
        *deferred = *deferred || !held.empty();
        unlinkat(placeFd.get(), _entry.name.c_str(), AT_REMOVEDIR);
        // Should this fail, the instance is gone all the same: its record is stale and the
        // next writing drops it, so the release still succeeded. One that another namespace
        // still holds keeps its memory: its record stays, marked, until the kernel lets go.
        std::vector<InstanceEntry> records;
        std::string ignored;
        if (state.readInstances(&records)) {
            for (auto &e : records) {
                if (!held.empty() && e.name == _entry.name && e.mountId == _entry.mountId && e.device == _entry.device)
                    e.released = true;
            }
            writeRecords(state, records, &ignored);
        }
        return true;
    }

private:
    InstanceEntry _entry;
    MountEntry _own;
    bool _recorded;
};

} // namespace

bool isMemoryInstanceName(const std::string &name)
{
    const std::string prefix = kPrefix;
    uint64_t number = 0;
    const std::string digits = startsWith(name, prefix) ? name.substr(prefix.size()) : std::string();
    return parseUnsigned(digits, &number) && number < 1000000 && (digits.size() == 1 || digits[0] != '0');
}

bool kernelHasMemoryInstances()
{
#ifdef QUILMO_DISKTOOL_FORCE_LOOP
    // A test-only build that stands for a kernel without them.
    return false;
#else
    // A tiny instance, never attached anywhere, that must carry a user attribute.
    Fd fs(fsopen("tmpfs", FSOPEN_CLOEXEC));
    if (!fs.valid() || fsconfig(fs.get(), FSCONFIG_SET_STRING, "size", "64k", 0) != 0
        || fsconfig(fs.get(), FSCONFIG_SET_STRING, "nr_inodes", "8", 0) != 0
        || fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0)
        return false;
    Fd mount(fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOEXEC));
    Fd root(mount.valid() ? openat(mount.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    return root.valid() && fsetxattr(root.get(), "user.org.quilmo.probe", "1", 1, 0) == 0;
#endif
}

std::unique_ptr<RamDevice> attachMemoryInstance(State &state, const AttachRequest &request, std::string *why)
{
    std::string place;
    Fd placeFd = state.openInstancePlace(&place, why);
    if (!placeFd.valid())
        return nullptr;
    std::vector<InstanceEntry> records;
    if (!state.readInstances(&records)) {
        *why = state.error();
        return nullptr;
    }
    std::vector<MountEntry> table = readMountTable();
    for (unsigned number = 0; number < 4096; ++number) {
        InstanceEntry e;
        e.name = kPrefix + std::to_string(number);
        e.owner = request.caller;
        e.sectors = request.sectors;
        e.wired = request.wired;
        // A name that any record or any mount carries is taken; so is a place in use.
        bool taken = false;
        for (const auto &r : records)
            taken = taken || r.name == e.name;
        for (const auto &m : table)
            taken = taken || m.source == e.name;
        if (taken)
            continue;
        if (mkdirat(placeFd.get(), e.name.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = errnoText("cannot make a place for " + e.name);
            return nullptr;
        }
        Fd dir(openat(placeFd.get(), e.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        bool isMountRoot = true;
        int ignoredId = 0;
        std::string ignored;
        if (!dir.valid() || !mountRootInfo(dir.get(), &isMountRoot, &ignoredId, &ignored) || isMountRoot)
            continue;
        Undo removeDir([&] { unlinkat(placeFd.get(), e.name.c_str(), AT_REMOVEDIR); });
        bool casefold = false;
        Fd mount = makeInstance(e, &casefold, why);
        if (!mount.valid() || !identify(mount.get(), &e, why))
            return nullptr;
        // Recorded before it is put in place: killed in between, its mount goes with this
        // process and the record describes nothing.
        std::vector<InstanceEntry> withNew = records;
        withNew.push_back(e);
        if (!writeRecords(state, withNew, why, &e))
            return nullptr;
        Undo unrecord([&] {
            std::string ignored;
            writeRecords(state, records, &ignored);
        });
        if (move_mount(mount.get(), "", dir.get(), "", MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH) != 0) {
            *why = errnoText("cannot put " + e.name + " in its place");
            return nullptr;
        }
        Undo unmount([&] { unmountInPlace(placeFd.get(), e.name, MNT_DETACH); });
        // Another tool with a record of its own (a test build) may have taken the same name
        // meanwhile: the name must be this instance's alone.
        table = readMountTable("/proc/self/mountinfo");
        if (table.empty()) {
            *why = errnoText("cannot read the mount table");
            return nullptr;
        }
        bool unique = true;
        for (const auto &m : table)
            unique = unique && (m.source != e.name || m.device == e.device);
        const MountEntry *own = ownMount(e, table, place);
        if (!unique || !own)
            continue;
        unmount.dismiss();
        unrecord.dismiss();
        removeDir.dismiss();
        return std::make_unique<MemoryInstance>(e, *own, true);
    }
    *why = "no free name for a memory instance";
    return nullptr;
}

std::unique_ptr<RamDevice> openMemoryInstance(State &state, const std::string &name, uid_t caller, Purpose purpose,
                                              std::string *why, bool *recorded)
{
    if (recorded)
        *recorded = false;
    std::vector<InstanceEntry> records;
    if (!state.readInstances(&records)) {
        *why = state.error();
        return nullptr;
    }
    const auto table = readMountTable();
    const std::string place = placePath();
    for (const auto &e : records) {
        if (e.name != name)
            continue;
        const MountEntry *own = ownMount(e, table, place);
        if (!own)
            continue;
        if (caller != 0 && e.owner != caller) {
            *why = name + " belongs to another user";
            return nullptr;
        }
        if (recorded)
            *recorded = true;
        return std::make_unique<MemoryInstance>(e, *own, true);
    }
    // After the record was lost, root can still release what is plainly ours.
    InstanceEntry unrecorded;
    if (caller == 0 && purpose == Purpose::Release && findUnrecorded(name, table, place, &unrecorded)) {
        const MountEntry *own = ownMount(unrecorded, table, place);
        if (own)
            return std::make_unique<MemoryInstance>(unrecorded, *own, false);
    }
    *why = name + " is not a RAM disk of Quilmo";
    return nullptr;
}

bool listMemoryInstances(State *state, const std::vector<MountEntry> &table, std::vector<RamDeviceListing> *devices,
                         std::string *why)
{
    std::vector<InstanceEntry> records;
    if (state) {
        if (!state->readInstances(&records)) {
            *why = state->error();
            return false;
        }
    } else {
        records = readPublicInstanceList();
    }
    const std::string place = placePath();
    std::vector<RamDeviceListing> found;
    for (const auto &m : table) {
        if (m.fsType != "tmpfs" || !isMemoryInstanceName(m.source) || m.mountPoint != place + "/" + m.source)
            continue;
        RamDeviceListing listing;
        InstanceEntry e;
        findUnrecorded(m.source, table, place, &e);
        listing.name = m.source;
        listing.sectors = e.sectors;
        listing.device = m.device;
        for (const auto &r : records) {
            if (ownMount(r, table, place) == &m) {
                listing.recorded = true;
                listing.owner = r.owner;
                listing.sectors = r.sectors;
                listing.volumeName = r.volumeName;
            }
        }
        for (const auto &shown : table) {
            if (shown.device == m.device && shown.mountId != m.mountId && listing.mountPoint.empty())
                listing.mountPoint = shown.mountPoint;
        }
        found.push_back(listing);
    }
    for (const auto &r : records) {
        if (r.released && mountedInAnyNamespace(r.device, r.name)) {
            RamDeviceListing listing;
            listing.name = r.name;
            listing.sectors = r.sectors;
            listing.owner = r.owner;
            listing.recorded = true;
            listing.device = r.device;
            listing.released = true;
            found.push_back(listing);
        }
    }
    devices->insert(devices->end(), found.begin(), found.end());
    return true;
}

} // namespace dt
