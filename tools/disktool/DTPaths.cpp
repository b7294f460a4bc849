#include "DTPaths.h"

#include "DTSystem.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace dt {

void Fd::reset()
{
    if (_fd >= 0)
        close(_fd);
    _fd = -1;
}

bool normalizeAbsolutePath(const std::string &path, std::string *normalized, std::string *why)
{
    if (looksLikeOption(path)) {
        *why = "\"" + path + "\" would be read as an option, not a path";
        return false;
    }
    if (path.empty() || path[0] != '/') {
        *why = "the path \"" + path + "\" is not absolute";
        return false;
    }
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) {
            *why = "the path contains a control character";
            return false;
        }
    }
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/')
            ++i;
        const size_t end = path.find('/', i);
        const std::string component = path.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? path.size() : end;
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            *why = "the path \"" + path + "\" contains \"..\"";
            return false;
        }
        out += "/" + component;
    }
    *normalized = out.empty() ? "/" : out;
    return true;
}

bool isInSystemDirectory(const std::string &normalized)
{
    // The places of the system itself; "/home" and "/mnt" stay usable. /media belongs to
    // the volumes that we (and udisks) mount there ourselves.
    static const char *systemDirectories[] = {
        "/.Trashes", "/Applications", "/bin", "/cores", "/dev", "/etc", "/Library", "/net",
        "/Network", "/private", "/sbin", "/System", "/tmp", "/usr", "/var", "/boot", "/lib",
        "/lib32", "/lib64", "/libx32", "/opt", "/proc", "/root", "/run", "/srv", "/sys",
        "/snap", "/media"};
    if (normalized == "/")
        return true;
    for (const char *dir : systemDirectories) {
        const std::string d = dir;
        if (normalized == d || startsWith(normalized, d + "/"))
            return true;
    }
    return false;
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
        *why = "the path \"" + normalized + "\" passes through a symbolic link";
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

Fd openMountTarget(const std::string &path, uid_t caller, std::string *normalized, std::string *why)
{
    if (!normalizeAbsolutePath(path, normalized, why))
        return Fd();
    // The default mount parent, /media/<user>, is the caller's own place for volumes (the
    // places in it, never it or /media itself).
    std::string user;
    const bool inOwnMedia = userNameOf(caller, &user, nullptr)
        && normalized->size() > 8 + user.size() && startsWith(*normalized, "/media/" + user + "/")
        && normalized->find('/', 8 + user.size()) == std::string::npos;
    if (!inOwnMedia && isInSystemDirectory(*normalized)) {
        *why = "\"" + *normalized + "\" is a system directory";
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
        for (const auto &e : readMountTable()) {
            if (e.mountId != mountId)
                continue;
            for (const auto &device : quilmoLoopDevices()) {
                std::string ignored;
                LoopDevice checked;
                if (device.device == e.device && authorizeDevice(device.node, caller, &checked, &ignored))
                    return fd;
            }
        }
        *why = "something else is already mounted at \"" + *normalized + "\"";
        return Fd();
    }
    if (caller != 0 && st.st_uid != caller) {
        *why = "\"" + *normalized + "\" is not owned by the calling user";
        return Fd();
    }
    return fd;
}

} // namespace dt
