#pragma once

// Checking the paths a caller hands us. Paths are opened once, without following any
// symbolic link, and the work is then done on the opened descriptor, so that nothing is
// resolved twice. The rules of the text of a path are QMVolumeRules', which the manager
// applies beforehand as well.

#include "DTSystem.h"

#include <string>

#include <sys/types.h>

namespace dt {

class State;

// An absolute path without "..", with repeated and trailing slashes removed. False (with
// the reason) for relative paths, "..", options and control characters.
bool normalizeAbsolutePath(const std::string &path, std::string *normalized, std::string *why);

// Opens an existing directory (O_PATH) without following symbolic links on the way or at
// the end. The reason names the problem when it fails.
Fd openDirectoryNoFollow(const std::string &normalized, std::string *why);

// The mount-root flag and the mount id of an opened file.
bool mountRootInfo(int fd, bool *isMountRoot, int *mountId, std::string *why);

// Whether the mount with that id shows one of the caller's RAM disks (root: anyone's);
// false when what is mounted there is anything else. Without the state (not root), the
// public copies of the records decide.
bool isCallersRamDiskMount(State *state, int mountId, uid_t caller);

// A directory the caller may mount on: absolute, no "..", no symbolic link, outside the
// system directories, owned by the caller (root may use any) and not already a mount point
// of something that is not one of the caller's RAM disks. Returns the opened directory.
Fd openMountTarget(State &state, const std::string &path, uid_t caller, std::string *normalized, std::string *why);

// After a mount onto a checked place: true when the mount `shown` is at `normalized` in
// this mount namespace. Otherwise the place was moved between the checks and the mount:
// the mount is taken back, and false says where it had landed.
bool landedWhereChecked(const Fd &shown, const std::string &normalized, std::string *why);

} // namespace dt
