#include "DTTools.h"

#include "DTLimits.h"
#include "DTPaths.h"
#include "DTState.h"
#include "DTSystem.h"
#include "DTRamDevice.h"
#include "DTResize.h"
#include "QMFormatRules.h"
#include "QMVolumeRules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

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

static int hdiutilAttach(const Args &args)
{
    bool nomount = false, plist = false, wired = false;
    std::string url;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "-nomount")
            nomount = true;
        else if (a == "-plist")
            plist = true;
        else if (a == "-kernel")
            wired = true;
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
    if (const std::string refusal = sizeRefusal(sectors); !refusal.empty())
        return fail("attach: " + refusal);

    const uid_t caller = callerUid();
    State state;
    if (!state.ok())
        return fail("attach: " + state.error());
    // Checked and made under one lock: two callers never both take the last of the memory.
    std::string why;
    if (!checkCommitmentLimits(state, caller, sectors * 512, true, &why))
        return fail("attach: " + why);

    // The realisation is chosen here, once, and recorded with the device. "-kernel" asks
    // for memory that never goes to swap; the loop device's memory file cannot be kept out
    // of it, so there it is accepted and has no effect.
    const AttachRequest request{sectors, wired, caller};
    std::unique_ptr<RamDevice> device = kernelHasMemoryInstances() ? attachMemoryInstance(state, request, &why)
                                                                    : attachLoopDevice(state, request, &why);
    if (!device)
        return fail("attach: " + why);

    plist_t root = plist_new_dict();
    plist_t entitiesArray = plist_new_array();
    plist_t entity = plist_new_dict();
    plist_dict_set_item(entity, "dev-entry", plist_new_string(device->name().c_str()));
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
    // Root reads the record; a normal user reads its public copy.
    std::unique_ptr<State> state;
    if (geteuid() == 0) {
        state = std::make_unique<State>();
        if (!state->ok())
            return fail("info: " + state->error());
    }
    std::vector<RamDeviceListing> devices;
    std::string why;
    if (!listRamDevices(state.get(), &devices, &why))
        return fail("info: " + why);
    plist_t root = plist_new_dict();
    plist_t images = plist_new_array();
    for (const auto &device : devices) {
        if (caller != 0 && (!device.recorded || device.owner != caller))
            continue;
        // An ejected instance is nobody's to see or use, whoever still holds it.
        if (device.released && isMemoryInstanceName(device.name))
            continue;
        plist_t image = plist_new_dict();
        // Root sees every device that looks like ours, so that none is ever out of reach.
        if (!device.recorded)
            plist_dict_set_item(image, "unrecorded", plist_new_bool(1));
        plist_dict_set_item(image, "image-path", plist_new_string(("ram://" + std::to_string(device.sectors)).c_str()));
        plist_t entities = plist_new_array();
        plist_t entity = plist_new_dict();
        plist_dict_set_item(entity, "dev-entry", plist_new_string(device.name.c_str()));
        if (!device.mountPoint.empty())
            plist_dict_set_item(entity, "mount-point", plist_new_string(device.mountPoint.c_str()));
        if (!device.volumeName.empty())
            plist_dict_set_item(entity, "volume-name", plist_new_string(device.volumeName.c_str()));
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
    const std::string &name = args.back();
    if (looksLikeOption(name))
        return fail("detach: unknown option \"" + name + "\"");
    const uid_t caller = callerUid();
    State state;
    if (!state.ok())
        return fail("detach: " + state.error());
    std::string why;
    std::unique_ptr<RamDevice> device = openRamDevice(state, name, caller, Purpose::Release, &why);
    if (!device)
        return fail("detach: " + why);
    const auto points = device->shownAt(readMountTable());
    if (!points.empty())
        return fail("detach: " + name + " is mounted at " + points.front());
    bool deferred = false;
    if (!device->release(state, force, &deferred, &why))
        return fail("detach: " + why);
    if (deferred)
        std::printf("%s is still held; it is released when the last one lets go\n", name.c_str());
    return 0;
}

int hdiutil(const Args &args)
{
    if (args.empty())
        return fail("no verb given (attach, info, detach, resize)");
    if (args[0] == "attach")
        return hdiutilAttach(args);
    if (args[0] == "info")
        return hdiutilInfo(args);
    if (args[0] == "detach")
        return hdiutilDetach(args);
    if (args[0] == "resize")
        return hdiutilResize(args);
    return fail("unsupported verb \"" + args[0] + "\"");
}

// ---- newfs_hfs -----------------------------------------------------------------------

// Whether an authorized device may be formatted now: shown nowhere (in no mount namespace)
// and held by no one, with arguments its realisation takes.
static bool checkFormattable(const RamDevice &device, const FormatRequest &request, std::string *why)
{
    const auto points = device.shownAt(readMountTable());
    if (!points.empty()) {
        *why = device.name() + " is mounted at " + points.front();
        return false;
    }
    const std::string held = device.heldBy();
    if (!held.empty()) {
        *why = device.name() + " " + held;
        return false;
    }
    return device.canFormat(request, why);
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
    std::unique_ptr<RamDevice> device = openRamDevice(state, node, callerUid(), Purpose::Use, &why);
    if (!device)
        return fail(why);
    const FormatRequest request{name, caseSensitive, haveInodes ? std::optional<uint64_t>(inodes) : std::nullopt,
                                callerUid()};
    std::string summary;
    if (!checkFormattable(*device, request, &why) || !device->format(state, request, &summary, &why))
        return fail(why);
    std::printf("%s\n", summary.c_str());
    return 0;
}

// ---- mount / umount ------------------------------------------------------------------

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
    std::string why;
    std::unique_ptr<RamDevice> device = openRamDevice(state, positional[0], caller, Purpose::Use, &why);
    if (!device)
        return fail(why);
    const auto points = device->shownAt(readMountTable());
    if (!points.empty())
        return fail(device->name() + " is already mounted at " + points.front());
    std::string normalized;
    Fd target = openMountTarget(state, positional[1], caller, &normalized, &why);
    if (!target.valid())
        return fail(why);
    Fd shown;
    if (!device->show(state, target.get(), &shown, &why) || !landedWhereChecked(shown, normalized, &why))
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

    const MountEntry *mounted = nullptr;
    const auto table = readMountTable();
    for (const auto &e : table) {
        if (e.mountId == mountId)
            mounted = &e;
    }
    State state;
    if (!state.ok())
        return fail(state.error());
    std::unique_ptr<RamDevice> device;
    std::vector<RamDeviceListing> devices;
    if (mounted && !listRamDevices(&state, &devices, &why))
        return fail(why);
    for (const auto &d : devices) {
        if (d.device != mounted->device)
            continue;
        device = openRamDevice(state, d.name, callerUid(), Purpose::Release, &why);
        if (!device)
            return fail(why);
    }
    // A memory instance's own mount is not a place the user sees; only its binds are.
    if (!device || !device->isShownBy(*mounted))
        return fail("\"" + normalized + "\" is not a mounted RAM disk of Quilmo");

    // Unmount by the last component from the opened parent, so that no link swapped into
    // the path can redirect it.
    if (fchdir(parentFd.get()) != 0)
        return fail(errnoText("cannot enter \"" + parent + "\""));
    int unmounted = umount2(name.c_str(), UMOUNT_NOFOLLOW);
    // Some look into a volume for a moment without the user holding it: the helper's scan
    // of what a save would take, a loop device's trim keeper, a file manager's thumbnailer.
    // A busy volume is only taken as busy once short waits for two seconds did not help.
    for (int attempt = 0; unmounted != 0 && errno == EBUSY && attempt < 20; ++attempt) {
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
    const auto remaining = device->shownAt(readMountTable());
    if (!remaining.empty())
        return fail(device->name() + " is still mounted at " + remaining.front());
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
    std::unique_ptr<RamDevice> device = openRamDevice(state, node, caller, Purpose::Use, &why);
    if (!device)
        return fail(why);
    const FormatRequest request{name, caseSensitive, std::nullopt, caller};
    if (!checkFormattable(*device, request, &why))
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
    if (!device->format(state, request, &summary, &why))
        return fail(why);
    if (created)
        lsetxattr((mediaPath + "/" + leaf).c_str(), kMadeForVolumeAttribute, "1", 1, 0);
    Fd shown;
    if (!device->show(state, target.get(), &shown, &why)
        || !landedWhereChecked(shown, mediaPath + "/" + leaf, &why))
        return fail(why);
    removePlace.dismiss();
    std::printf("Finished erase of %s, mounted at %s/%s\n", device->name().c_str(), mediaPath.c_str(), leaf.c_str());
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
                allowed = state.ok() && isCallersRamDiskMount(&state, mountId, caller);
            } else {
                allowed = isCallersRamDiskMount(nullptr, mountId, caller);
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
