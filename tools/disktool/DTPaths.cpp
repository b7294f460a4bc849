#include "DTPaths.h"

#include "DTRamDevice.h"
#include "QMVolumeRules.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
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

Fd openDirectoryNoFollow(const std::string &normalized, std::string *why)
{
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = syscall(SYS_openat2, AT_FDCWD, normalized.c_str(), &how, sizeof how);
    if (fd >= 0)
        return Fd(static_cast<int>(fd));
    switch (errno) {
    case ELOOP:
        *why = "\"" + normalized + "\": " + QMVolumeRules::kSymbolicLink;
        break;
    case ENOTDIR:
        *why = "\"" + normalized + "\" is not a directory";
        break;
    case ENOENT:
        *why = "\"" + normalized + "\" does not exist";
        break;
    default:
        *why = "cannot open \"" + normalized + "\": " + std::strerror(errno);
        break;
    }
    return Fd();
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
    Fd fd = openDirectoryNoFollow(*normalized, why);
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

} // namespace dt
