#pragma once

// Checking the paths a caller hands us. Paths are opened once, without following any
// symbolic link, and the work is then done on the opened descriptor, so that nothing is
// resolved twice.

#include <string>

#include <sys/types.h>

namespace dt {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : _fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : _fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        if (this != &other) {
            reset();
            _fd = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return _fd; }
    bool valid() const { return _fd >= 0; }
    int release()
    {
        const int fd = _fd;
        _fd = -1;
        return fd;
    }
    void reset();

private:
    int _fd = -1;
};

// An absolute path without "..", with repeated and trailing slashes removed. False (with
// the reason) for relative paths, "..", options and control characters.
bool normalizeAbsolutePath(const std::string &path, std::string *normalized, std::string *why);

// True when the path is, or lies inside, a system directory that is never a mount place.
bool isInSystemDirectory(const std::string &normalized);

// Opens an existing directory (O_PATH) without following symbolic links on the way or at
// the end. The reason names the problem when it fails.
Fd openDirectoryNoFollow(const std::string &normalized, std::string *why);

// The mount-root flag and the mount id of an opened file.
bool mountRootInfo(int fd, bool *isMountRoot, int *mountId, std::string *why);

// A directory the caller may mount on: absolute, no "..", no symbolic link, outside the
// system directories, owned by the caller (root may use any) and not already a mount point
// of something that is not one of the caller's RAM disks. Returns the opened directory.
Fd openMountTarget(const std::string &path, uid_t caller, std::string *normalized, std::string *why);

} // namespace dt
