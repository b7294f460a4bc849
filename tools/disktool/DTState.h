#pragma once

// The root-owned record of who attached which RAM-disk device, and the checks that decide
// whether a caller may act on a device.
//
// The record is the file "devices" in a root-owned 0700 directory under /run; one line per
// device: "<node> <backing file> <owner uid> <backing inode> <disk sequence number>". The
// last two were added later: readers of the first three columns ignore them, and records
// without them (written by an older tool) are still believed by name. A file that is not a
// regular root-owned 0600 file inside a sound directory is set aside and treated as empty;
// a record counts only while sysfs confirms that it describes the attached device.
//
// Normal users cannot read that directory; "info" without root reads a world-readable copy
// of the record beside it, which only root can write.
//
// Memory instances are recorded in the file "instances" beside it, one line per instance:
// "<name> <owner uid> <sectors> <major:minor> <mount id> <mount namespace> <flags>
// <volume name>" (flags: "-", or "wired", "casefold" and "released" joined by commas; the
// volume name is the rest of the line). "released": ejected by force while another mount
// namespace still held it; the record stays until the kernel lets it go, so that its
// memory is still counted. A file of its own, so that an older tool, which knows only
// loop devices and drops every record it cannot confirm, never drops these. The instances
// themselves are mounted in the directory "ram" there.

#include "DTSystem.h"

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

// A test-only build of the tool moves its whole state to another place (a compile-time
// choice: the installed tool takes no such setting from its environment or arguments).
#ifndef QUILMO_DISKTOOL_RUN_DIR
#define QUILMO_DISKTOOL_RUN_DIR "/run"
#endif
// How long a run waits for another one to finish before it gives up with a message.
#ifndef QUILMO_DISKTOOL_LOCK_WAIT_SECONDS
#define QUILMO_DISKTOOL_LOCK_WAIT_SECONDS 60
#endif

namespace dt {

inline constexpr const char *kRunDir = QUILMO_DISKTOOL_RUN_DIR;
inline constexpr const char *kStateDirName = "quilmo";
inline constexpr const char *kStateFileName = "devices";
inline constexpr const char *kStateLockName = "devices.lock";
inline constexpr const char *kPublicListName = "quilmo-devices";
inline constexpr const char *kInstanceFileName = "instances";
inline constexpr const char *kPublicInstanceListName = "quilmo-instances";
inline constexpr const char *kInstancePlaceName = "ram";

struct StateEntry {
    std::string node;
    std::string backing;
    uid_t owner = 0;
    uint64_t inode = 0;   // 0: not recorded (an older tool's record)
    uint64_t diskseq = 0; // 0: not recorded
};

struct InstanceEntry {
    std::string name; // quilmo-ramN
    uid_t owner = 0;
    uint64_t sectors = 0;
    dev_t device = 0;
    int mountId = 0;             // of the instance's own mount in its private place
    uint64_t mountNamespace = 0; // where that mount lives
    bool wired = false;          // never swapped (noswap)
    bool casefold = false;
    bool released = false;       // ejected, held by another namespace until it lets go
    std::string volumeName;
};

// Whether a record describes the device now attached: same node, same backing file, and,
// where the record has them, the same inode and disk sequence number. requireInode: the
// device's inode must be known (root always knows it).
bool describes(const StateEntry &entry, const LoopDevice &device, bool requireInode);

// The record, opened under its lock (root only). Construction checks the directory (an
// unsound one is set aside, a lax mode is repaired and what it held is set aside) and
// takes the lock; ok() tells whether that worked.
class State {
public:
    State();
    ~State();
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    bool ok() const { return _lockFd >= 0; }
    const std::string &error() const { return _error; }

    // The records as they stand; false (see error()) when the file could not be read just
    // now (out of descriptors, say), which must stop the caller: only a file found unsound
    // is set aside and reads as empty.
    bool read(std::vector<StateEntry> *records);
    // The records that sysfs confirms; false as for read().
    bool entries(std::vector<StateEntry> *confirmed);
    // Replaces the record (and its public copy) atomically with these records, less those
    // that sysfs shows to be stale for certain.
    bool write(const std::vector<StateEntry> &records, std::string *error);

    // The memory instances' records, as they stand (confirming them is the instances'
    // business); false as for read().
    bool readInstances(std::vector<InstanceEntry> *records);
    // Replaces them (and their public copy) atomically.
    bool writeInstances(const std::vector<InstanceEntry> &records, std::string *error);
    // The root-only directory the instances are mounted in (created when missing); its
    // path as the mount table shows it in *path.
    Fd openInstancePlace(std::string *path, std::string *error);

private:
    bool readRecordFile(const char *name, std::string *content);
    // The records of the file `name` that `parseLine` understands.
    template <typename Entry>
    bool readRecords(const char *name, std::vector<Entry> *records, bool (*parseLine)(const std::string &, Entry *));
    bool replaceRecordFile(const char *name, const char *publicName, const std::string &content,
                           const std::string &publicContent, std::string *error);
    bool openDirectory();
    bool openLock();
    bool lockWithin(int fd);
    void setAside(const char *name, const std::string &why);

    Fd _dir;
    int _lockFd = -1;
    bool _distrustFiles = false;
    std::string _error;
};

// Without root: the public copy's records that sysfs confirms; empty when the copy is
// missing or not root's.
std::vector<StateEntry> readPublicList();
// Without root: the public copy of the instances' records (unconfirmed, without their
// volume names).
std::vector<InstanceEntry> readPublicInstanceList();

// What a caller wants to do with a device. Root may release a device of ours that has no
// record (after the record was lost); everything else needs a record.
enum class Purpose { Use, Release };

// The device node given by a caller, checked: a loop device of Quilmo's, recorded for the
// caller (root: for anyone; for release also unrecorded). Fills *device on success, and
// *recorded (when given) with whether a record describes it.
bool authorizeDevice(State &state, const std::string &node, uid_t caller, Purpose purpose, LoopDevice *device,
                     std::string *error, bool *recorded = nullptr);

// Logs what the tool did on its own (a file set aside): the system log, and a warning on
// standard error.
void logWarning(const std::string &message);

} // namespace dt
