#pragma once

// The system layer of quilmo-disktool: who is calling, the mount table and mount
// namespaces, Quilmo's loop devices. Plain C++ without Qt: this runs as root, so it stays
// small.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dt {

// Everything Quilmo creates in /dev/shm begins with this; nothing else is ever touched.
inline constexpr const char *kBackingPrefix = "/dev/shm/quilmo-ram-";

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

// "what: <the text of errno>".
std::string errnoText(const std::string &what);

// The user the work is done for: PKEXEC_UID when pkexec started us as root, else the real
// user. Never taken from an argument.
uid_t callerUid();

// The machine's physical memory in bytes; 0 when it cannot be told.
uint64_t physicalMemory();

// The user's name (for /media/<name>) and primary group; false when the uid has no entry.
bool userNameOf(uid_t uid, std::string *name, gid_t *gid);

// ---- strings -------------------------------------------------------------------------
bool parseUnsigned(const std::string &text, uint64_t *value);
bool startsWith(const std::string &text, const std::string &prefix);
std::string lastLine(const std::string &text);
// "64 MB", "1 GB", "1.5 GB": binary multiples, as the size of a volume is usually shown.
std::string sizeText(uint64_t bytes);
// An argument that a tool would read as an option.
inline bool looksLikeOption(const std::string &arg) { return !arg.empty() && arg[0] == '-'; }
// A volume name by the rules the manager applies as well (QMVolumeRules); the reason
// names the problem.
bool isAcceptableName(const std::string &name, std::string *why);

// ---- child processes -----------------------------------------------------------------
// Runs a program by absolute path with a cleared environment (PATH and LC_ALL=C only),
// stdin from /dev/null; its standard output and error are collected together.
// Returns the exit status, or -1 when it could not run or died of a signal.
int runTool(const std::string &path, const std::vector<std::string> &args, std::string *output);
// The first of the candidate absolute paths that is an executable file.
std::string findTool(const std::vector<std::string> &candidates);

// ---- mount table ---------------------------------------------------------------------
struct MountEntry {
    int mountId = 0;
    dev_t device = 0;
    std::string mountPoint; // decoded
    std::string fsType;
    std::string source;
    std::string options; // per-mount options (rw,nosuid,...)
    std::string tags;    // the optional fields: "shared:N", "master:N"...
    std::string superOptions;
};
std::vector<MountEntry> readMountTable();
// The mount table of another process (empty when it cannot be read, as when it ended).
std::vector<MountEntry> readMountTable(const std::string &mountinfoPath);
// The mount namespace this process lives in (the inode of /proc/self/ns/mnt); 0 when it
// cannot be read.
uint64_t mountNamespace();
// Where a file system (by device number) is mounted in mount namespaces other than ours,
// leaving out the copies that go when `ours` is unmounted (its peers and slaves). Empty
// when there are none. Such a copy keeps the file system, and its memory, alive.
std::string mountedInOtherNamespaces(dev_t device, const MountEntry &ours);
// Whether a file system (by device number and source name) is mounted in any mount
// namespace, ours included: what keeps an ejected one alive.
bool mountedInAnyNamespace(dev_t device, const std::string &source);
std::string decodeMountField(const std::string &field);

// ---- loop devices --------------------------------------------------------------------
struct LoopDevice {
    std::string node;    // /dev/loopK
    int index = -1;
    dev_t device = 0;
    std::string backing; // the backing file's path, " (deleted)" removed
    uint64_t sectors = 0;
    // The attachment's sequence number: it changes whenever the device is set up again.
    uint64_t diskseq = 0;
    // The backing file's inode, as the loop driver reports it; 0 when it could not be
    // asked (only root may open the device).
    uint64_t inode = 0;
    // Marked to be released by the kernel at its last close (a forced eject of a device
    // that someone still holds); the tool never sets it otherwise.
    bool autoclear = false;
};
// "/dev/loopK" -> K, or -1 when the text is not exactly a loop device node.
int loopIndexFromNode(const std::string &node);
// What sysfs says of a loop device: attached (filling *out), free (or not there at all),
// or unknown (it could not be read just now).
enum class LoopState { Attached, Free, Unknown };
LoopState loopState(int index, LoopDevice *out);
// The attached loop device with that index (false when it is free, does not exist or
// cannot be read).
bool readLoopDevice(int index, LoopDevice *out);
// Whether a loop device is still the attachment that was checked (loop devices are
// reused at once, so the number alone says nothing).
bool sameAttachment(const LoopDevice &checked);
// Every attached loop device whose backing file is one of Quilmo's memory files.
std::vector<LoopDevice> quilmoLoopDevices();
bool isQuilmoBacking(const std::string &backing);
// The mount points of a device, in mount-table order.
std::vector<std::string> mountPointsOf(dev_t device, const std::vector<MountEntry> &table);

} // namespace dt
