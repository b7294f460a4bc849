#include "DTPaths.h"

#include "DTRamDevice.h"
#include "QMVolumeRules.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dt {

bool normalizeAbsolutePath(const std::string &path, std::string *normalized, std::string *why)
{
    if (const char *problem = QMVolumeRules::pathTextProblem(path, normalized)) {
        // A control character is not printed back.
        *why = std::strstr(problem, "control") ? std::string(problem) : "\"" + path + "\": " + problem;
        return false;
    }
    return true;
}

// Opens a directory (O_PATH) at `path` relative to `dirFd` without following any symbolic
// link; `shown` is how the refusal names it.
static Fd openDirectoryAt(int dirFd, const std::string &path, uint64_t resolve, const std::string &shown,
                          std::string *why)
{
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | resolve;
    const long fd = syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
    if (fd >= 0)
        return Fd(static_cast<int>(fd));
    switch (errno) {
    case ELOOP:
        *why = "\"" + shown + "\": " + QMVolumeRules::kSymbolicLink;
        break;
    case ENOTDIR:
        *why = "\"" + shown + "\" is not a directory";
        break;
    case ENOENT:
        *why = "\"" + shown + "\" does not exist";
        break;
    default:
        *why = "cannot open \"" + shown + "\": " + std::strerror(errno);
        break;
    }
    return Fd();
}

Fd openDirectoryNoFollow(const std::string &normalized, std::string *why)
{
    return openDirectoryAt(AT_FDCWD, normalized, 0, normalized, why);
}

bool mountRootInfo(int fd, bool *isMountRoot, int *mountId, std::string *why)
{
    struct statx stx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID, &stx) != 0) {
        *why = std::string("cannot read the mount state: ") + std::strerror(errno);
        return false;
    }
    if (!(stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) || !(stx.stx_mask & STATX_MNT_ID)) {
        *why = "the kernel does not report mount points";
        return false;
    }
    *isMountRoot = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    *mountId = static_cast<int>(stx.stx_mnt_id);
    return true;
}

bool isCallersRamDiskMount(State *state, int mountId, uid_t caller)
{
    std::vector<RamDeviceListing> devices;
    std::string ignored;
    if (!listRamDevices(state, &devices, &ignored))
        return false;
    for (const auto &e : readMountTable()) {
        if (e.mountId != mountId)
            continue;
        for (const auto &d : devices) {
            if (d.recorded && d.device == e.device && (caller == 0 || d.owner == caller))
                return true;
        }
    }
    return false;
}

Fd openMountTarget(State &state, const std::string &path, uid_t caller, std::string *normalized, std::string *why)
{
    if (!normalizeAbsolutePath(path, normalized, why))
        return Fd();
    // The default mount parent, /media/<user>, is the caller's own place for volumes (the
    // places in it, never it or /media itself).
    std::string user;
    const bool inOwnMedia = userNameOf(caller, &user, nullptr)
        && normalized->size() > 8 + user.size() && startsWith(*normalized, "/media/" + user + "/")
        && normalized->find('/', 8 + user.size()) == std::string::npos;
    if (!inOwnMedia && QMVolumeRules::isInSystemDirectory(*normalized)) {
        *why = "\"" + *normalized + "\": " + QMVolumeRules::kSystemDirectory;
        return Fd();
    }
    // The place is found as the mount will use it: its parent opened and held, the last
    // component resolved beneath that without links. Where the mount lands is checked again
    // once it is there (landedWhereChecked), since a directory can be moved at any time.
    const size_t slash = normalized->rfind('/');
    const std::string parent = slash == 0 ? std::string("/") : normalized->substr(0, slash);
    Fd parentFd = openDirectoryAt(AT_FDCWD, parent, 0, *normalized, why);
    if (!parentFd.valid())
        return parentFd;
    Fd fd = openDirectoryAt(parentFd.get(), normalized->substr(slash + 1), RESOLVE_BENEATH, *normalized, why);
    if (!fd.valid())
        return fd;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        *why = "cannot read \"" + *normalized + "\": " + std::strerror(errno);
        return Fd();
    }
    bool isMountRoot = false;
    int mountId = 0;
    if (!mountRootInfo(fd.get(), &isMountRoot, &mountId, why))
        return Fd();
    if (isMountRoot) {
        // Only one of the caller's own RAM disks may be covered again; anything else that is
        // mounted there is not ours to hide.
        if (isCallersRamDiskMount(&state, mountId, caller))
            return fd;
        *why = "\"" + *normalized + "\": " + QMVolumeRules::kForeignMount;
        return Fd();
    }
    if (caller != 0 && st.st_uid != caller) {
        *why = "\"" + *normalized + "\": " + QMVolumeRules::kNotOwned;
        return Fd();
    }
    return fd;
}

bool landedWhereChecked(const Fd &shown, const std::string &normalized, std::string *why)
{
    bool isMountRoot = false;
    int mountId = 0;
    std::string where;
    if (mountRootInfo(shown.get(), &isMountRoot, &mountId, why)) {
        // Read without giving up the process: a failure must still take the mount back.
        for (const auto &e : readMountTable("/proc/self/mountinfo")) {
            if (e.mountId == mountId)
                where = e.mountPoint;
        }
        if (where == normalized)
            return true;
        *why = where.empty() ? "\"" + normalized + "\": the new mount is not in the mount table"
                             : "\"" + normalized + "\" was moved to \"" + where + "\" while it was being mounted";
    }
    // The mount itself, whatever its path is now; its copies elsewhere go with it.
    const std::string self = "/proc/self/fd/" + std::to_string(shown.get());
    if (umount2(self.c_str(), MNT_DETACH) != 0)
        *why += errnoText(", and the mount cannot be taken back");
    else
        *why += "; the mount was taken back";
    return false;
}

} // namespace dt
