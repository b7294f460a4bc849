#pragma once

// The system layer of quilmo-disktool: who is calling, the mount table, Quilmo's loop
// devices and the root-owned record of who attached which one. Plain C++ without Qt: this
// runs as root, so it stays small.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dt {

// Everything Quilmo creates in /dev/shm begins with this; nothing else is ever touched.
inline constexpr const char *kBackingPrefix = "/dev/shm/quilmo-ram-";
inline constexpr const char *kStateDir = "/run/quilmo";
inline constexpr const char *kStateFile = "/run/quilmo/devices";
inline constexpr const char *kStateLock = "/run/quilmo/devices.lock";

// The user the work is done for: PKEXEC_UID when pkexec started us as root, else the real
// user. Never taken from an argument.
uid_t callerUid();

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
// A volume name: not empty, valid UTF-8, no control characters, no "/", not an option,
// and not "." or "..".
bool isAcceptableName(const std::string &name, std::string *why);
// The first bytes of a UTF-8 text that fit in maxBytes without cutting a character.
std::string utf8Prefix(const std::string &text, size_t maxBytes);

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
};
std::vector<MountEntry> readMountTable();
std::string decodeMountField(const std::string &field);

// ---- loop devices --------------------------------------------------------------------
struct LoopDevice {
    std::string node;    // /dev/loopK
    int index = -1;
    dev_t device = 0;
    std::string backing; // the backing file's path, " (deleted)" removed
    uint64_t sectors = 0;
};
// "/dev/loopK" -> K, or -1 when the text is not exactly a loop device node.
int loopIndexFromNode(const std::string &node);
// The attached loop device with that index (false when it is free or does not exist).
bool readLoopDevice(int index, LoopDevice *out);
// Every attached loop device whose backing file is one of Quilmo's memory files.
std::vector<LoopDevice> quilmoLoopDevices();
bool isQuilmoBacking(const std::string &backing);
// The owner that is encoded in a backing file's name (quilmo-ram-<uid>-<random>).
std::optional<uid_t> ownerFromBacking(const std::string &backing);
// The mount points of a device, in mount-table order.
std::vector<std::string> mountPointsOf(dev_t device, const std::vector<MountEntry> &table);

// ---- the record of attached devices --------------------------------------------------
struct StateEntry {
    std::string node;
    std::string backing;
    uid_t owner = 0;
};

// Holds the state lock for its lifetime; all changes to the record happen under it.
class StateLock {
public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;
    bool ok() const { return _fd >= 0; }
    const std::string &error() const { return _error; }

private:
    int _fd = -1;
    std::string _error;
};

// Reads the record; entries whose device is gone or now backed by something else are
// left out (stale after a crash or an outside detach).
std::vector<StateEntry> readState();
// Replaces the record atomically (temporary file, then rename).
bool writeState(const std::vector<StateEntry> &entries, std::string *error);

// The device node given by a caller, checked: a loop device of Quilmo's, recorded as
// attached by the caller (root may act on all). Fills *device on success.
bool authorizeDevice(const std::string &node, uid_t caller, LoopDevice *device, std::string *error);

} // namespace dt
