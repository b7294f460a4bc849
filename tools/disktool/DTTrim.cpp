#include "DTTrim.h"

#include "DTPaths.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dt {

namespace {

using Clock = std::chrono::steady_clock;

// How often the free space and the device's writes are looked at; a trim follows the
// second look that finds them changed and then still, so memory comes back about a second
// after a delete ends.
constexpr int kLookMs = 500;
// While deletes go on without a pause, a trim still runs this often.
constexpr auto kLongestWithoutTrim = std::chrono::seconds(5);
// Every 10 s: whether anyone else still lives in the mount namespace.
constexpr unsigned kLooksPerNamespaceCheck = 20;

// The mount's root directory, opened for reading (FITRIM and statfs need a real
// descriptor), but only while it is still that mount of the device. Reached by the path
// the mount table gives, without following symbolic links, and checked by its mount id.
Fd openMountRoot(const LoopDevice &device, int mountId, bool *gone)
{
    *gone = true;
    std::string point;
    // Read twice before giving up: the table is read in pieces, and a mount made or removed
    // meanwhile by someone else must not end the keeper.
    for (int attempt = 0; attempt < 2 && *gone; ++attempt) {
        for (const auto &e : readMountTable()) {
            if (e.mountId == mountId && e.device == device.device) {
                point = e.mountPoint;
                *gone = false;
            }
        }
    }
    if (*gone)
        return Fd();
    std::string why;
    Fd path = openDirectoryNoFollow(point, &why);
    bool isMountRoot = false;
    int id = 0;
    if (!path.valid() || !mountRootInfo(path.get(), &isMountRoot, &id, &why) || !isMountRoot || id != mountId)
        return Fd(); // moved or covered just now: the next look finds it again
    return Fd(openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Whether no other process lives in our mount namespace any more: the mount was made in a
// private one that has ended, and only we would keep it (and the device) alive.
bool aloneInMountNamespace()
{
    struct stat own;
    if (stat("/proc/self/ns/mnt", &own) != 0)
        return false;
    const std::string self = std::to_string(getpid());
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    bool alone = true;
    while (struct dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name)
            continue;
        struct stat ns;
        const std::string path = std::string("/proc/") + entry->d_name + "/ns/mnt";
        if (stat(path.c_str(), &ns) == 0 && ns.st_ino == own.st_ino && ns.st_dev == own.st_dev) {
            alone = false;
            break;
        }
    }
    closedir(proc);
    return alone;
}

// What the device has written into its memory file so far, in sectors (0 when unknown).
// Data written and deleted between two looks leaves the free space as it was, yet holds
// memory in the file: this tells that it happened.
uint64_t sectorsWritten(const LoopDevice &device)
{
    char line[512];
    const std::string path = "/sys/block/loop" + std::to_string(device.index) + "/stat";
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd.valid() ? read(fd.get(), line, sizeof line - 1) : -1;
    if (n <= 0)
        return 0;
    line[n] = '\0';
    // The seventh field: sectors written.
    unsigned long long fields[7] = {};
    if (std::sscanf(line, "%llu %llu %llu %llu %llu %llu %llu", &fields[0], &fields[1], &fields[2], &fields[3],
                    &fields[4], &fields[5], &fields[6])
        != 7)
        return 0;
    return fields[6];
}

bool trim(int rootFd)
{
    struct fstrim_range range = {0, ULLONG_MAX, 0};
    return ioctl(rootFd, FITRIM, &range) == 0;
}

[[noreturn]] void keep(const LoopDevice &device, int mountId)
{
    // Woken early when the mount table changes, so that an unmount ends the keeper at once.
    Fd mountTable(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    uint64_t lastFree = 0, trimmedFree = 0, lastWritten = 0, trimmedWritten = 0;
    bool first = true;
    auto lastTrim = Clock::now();
    for (unsigned look = 1;; ++look) {
        struct pollfd watch = {mountTable.get(), POLLPRI, 0};
        poll(&watch, mountTable.valid() ? 1 : 0, kLookMs);
        if (!sameAttachment(device) || (look % kLooksPerNamespaceCheck == 0 && aloneInMountNamespace()))
            _exit(0);
        bool gone = false;
        Fd root = openMountRoot(device, mountId, &gone);
        if (gone)
            _exit(0);
        struct statfs st;
        if (!root.valid() || fstatfs(root.get(), &st) != 0)
            continue;
        const uint64_t free = st.f_bfree;
        const uint64_t written = sectorsWritten(device);
        if (first) {
            // Whatever an earlier mount of the device left untrimmed goes back now.
            trim(root.get());
            lastFree = trimmedFree = free;
            lastWritten = trimmedWritten = written;
            lastTrim = Clock::now();
            first = false;
            continue;
        }
        // Written meanwhile: that memory is in use, and only what is freed later is owed.
        if (free < trimmedFree)
            trimmedFree = free;
        const bool quiet = free == lastFree && written == lastWritten;
        lastFree = free;
        lastWritten = written;
        // Freed since the last trim, or written (and perhaps deleted again) since then: a
        // trim that finds nothing newly freed is cheap, as ext4 skips what it trimmed.
        const bool owed = free > trimmedFree || written != trimmedWritten;
        if (owed && (quiet || Clock::now() - lastTrim > kLongestWithoutTrim)) {
            trim(root.get());
            trimmedFree = free;
            trimmedWritten = written;
            lastTrim = Clock::now();
        }
    }
}

} // namespace

std::string trimKeeperName(const LoopDevice &device)
{
    return "qmtrim-loop" + std::to_string(device.index);
}

void startTrimKeeper(const LoopDevice &device, int mountId)
{
    const pid_t child = fork();
    if (child < 0)
        return; // the RAM disk works all the same; its memory comes back at the detach
    if (child > 0) {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return;
    }
    // Nothing of the caller's may stay open here: not their pipes (they wait for the end of
    // our output) and not the record's lock.
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(devNull, 1) < 0 || dup2(devNull, 2) < 0)
        _exit(1);
    close_range(3, ~0U, 0);
    if (setsid() < 0 || chdir("/") != 0)
        _exit(1);
    // The second fork leaves a process that is no one's child and no session's leader.
    const pid_t keeper = fork();
    if (keeper != 0)
        _exit(keeper < 0 ? 1 : 0);
    prctl(PR_SET_NAME, trimKeeperName(device).c_str(), 0, 0, 0);
    keep(device, mountId);
}

} // namespace dt
