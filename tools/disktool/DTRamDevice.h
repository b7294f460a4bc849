#pragma once

// A RAM device as the personalities see it. There are two realisations behind one
// contract: a memory instance (a tmpfs of its own, mounted in a root-only place and shown
// to the user by bind mounts) where the kernel has what it needs, and a loop device over a
// memory file, formatted ext4, elsewhere. The choice is made once, at attach, and written
// in the owner record; every later call finds the realisation from that record (a name is
// either /dev/loopN or quilmo-ramN) and never probes again.
//
// The checks of the caller, the owner, the paths and the limits sit above this interface
// in the personalities, so that a refusal is written once and holds for both.

#include "DTState.h"
#include "DTSystem.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dt {

// What newfs_hfs asks of a device.
struct FormatRequest {
    std::string volumeName;
    bool caseSensitive = false;
    std::optional<uint64_t> inodes; // at least this many; none: the realisation's own count
    uid_t caller = 0;
};

// What attach asks for.
struct AttachRequest {
    uint64_t sectors = 0;
    bool wired = false; // memory that never goes to swap, where the realisation can
    uid_t caller = 0;
};

class RamDevice {
public:
    virtual ~RamDevice() = default;

    // The name the engine knows it by (the "device node").
    virtual const std::string &name() const = 0;
    virtual uint64_t sectors() const = 0;
    // The volume name it was formatted with, where the realisation keeps one.
    virtual std::string volumeName() const { return {}; }

    // The mounts through which the user sees it in this mount namespace, in table order.
    virtual bool isShownBy(const MountEntry &mount) const = 0;
    std::vector<std::string> shownAt(const std::vector<MountEntry> &table) const;

    // What beside its shown mounts still holds it (a process, another mount namespace);
    // empty when nothing does.
    virtual std::string heldBy() const = 0;

    // Whether a format with these arguments can be done; checked before anything changes.
    virtual bool canFormat(const FormatRequest &request, std::string *why) const = 0;
    // Makes it a fresh, empty volume of the caller's; *summary is newfs_hfs's one line.
    virtual bool format(State &state, const FormatRequest &request, std::string *summary, std::string *why) = 0;

    // Shows it on the opened directory (checked by the caller): noatime, nosuid, nodev.
    // *shown is the mount put there, for the caller to verify where it landed.
    virtual bool show(State &state, int targetFd, Fd *shown, std::string *why) = 0;
    // Ejected by force while another mount namespace still holds it: it waits for the
    // kernel to let it go and is nobody's to use any more.
    virtual bool released() const = 0;

    // Gives its memory back and drops its record. Refused while something still holds it,
    // unless forced: then *deferred tells that the kernel releases it at the last let-go.
    virtual bool release(State &state, bool force, bool *deferred, std::string *why) = 0;
};

// The device a caller named, checked: one of Quilmo's, recorded for the caller (root: for
// anyone; to release, root also takes one of ours that lost its record), and not released
// unless it is to be released. *recorded tells whether a record describes it.
std::unique_ptr<RamDevice> openRamDevice(State &state, const std::string &name, uid_t caller, Purpose purpose,
                                         std::string *why, bool *recorded = nullptr);

// One line of "hdiutil info".
struct RamDeviceListing {
    std::string name;
    uint64_t sectors = 0;
    uid_t owner = 0;
    bool recorded = false;
    dev_t device = 0;
    std::string mountPoint; // the first place it is shown at; empty when it is not
    std::string volumeName;
    bool released = false; // see RamDevice::released()
};

// Every RAM device of Quilmo's: with the state (root), what the records confirm and what
// plainly is ours without a record; without it, what the public copies confirm.
bool listRamDevices(State *state, std::vector<RamDeviceListing> *devices, std::string *why);

// ---- the two realisations ----------------------------------------------------------------

// Whether the kernel offers what a memory instance needs: a tmpfs whose files carry user
// extended attributes (the volume tag), Linux 6.6 and later. Asked by attach alone.
bool kernelHasMemoryInstances();

std::unique_ptr<RamDevice> attachMemoryInstance(State &state, const AttachRequest &request, std::string *why);
std::unique_ptr<RamDevice> attachLoopDevice(State &state, const AttachRequest &request, std::string *why);

bool isMemoryInstanceName(const std::string &name);
std::unique_ptr<RamDevice> openMemoryInstance(State &state, const std::string &name, uid_t caller, Purpose purpose,
                                              std::string *why, bool *recorded);
std::unique_ptr<RamDevice> openLoopRamDevice(State &state, const std::string &node, uid_t caller, Purpose purpose,
                                             std::string *why, bool *recorded);
bool listMemoryInstances(State *state, const std::vector<MountEntry> &table, std::vector<RamDeviceListing> *devices,
                         std::string *why);
bool listLoopRamDevices(State *state, const std::vector<MountEntry> &table, std::vector<RamDeviceListing> *devices,
                        std::string *why);

} // namespace dt
