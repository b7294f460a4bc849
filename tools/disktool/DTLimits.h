#pragma once

// How much memory RAM disks may take. All RAM disks together, of every user and root, stay
// within the machine's memory less a reserve that keeps the system usable; one user's
// (root's aside) within half of that, so that no single user can take it all; and one user
// has at most a few devices. A RAM disk ejected by force while another mount namespace
// still holds it ("released, waiting for the kernel") still takes its memory: it counts in
// the total, no longer against its owner.

#include "DTRamDevice.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace dt {

class State;

// Why a RAM disk of `sectors` 512-byte sectors cannot exist at all (0, or beyond the
// machine's memory); empty when it can.
std::string sizeRefusal(uint64_t sectors);

// What the RAM disks hold now, as the records tell (each by its size, written or not).
struct Commitment {
    uint64_t allBytes = 0; // every RAM disk of every user, released ones included
    size_t allDevices = 0;
    uint64_t releasedBytes = 0;
    size_t releasedDevices = 0;
    uint64_t callerBytes = 0; // the caller's own, released ones left out
    size_t callerDevices = 0;
};
Commitment commitmentOf(const std::vector<RamDeviceListing> &devices, uid_t caller);

// Whether `caller` may commit `additionalBytes` more to RAM disks: a new device of that size
// (`newDevice`), or one of theirs that grows by that much. False with a refusal that names
// the limit and what is committed. To be asked under the state's lock, which the change
// then holds, so that two callers never both take the last of it.
bool checkCommitmentLimits(State &state, uid_t caller, uint64_t additionalBytes, bool newDevice, std::string *why);

} // namespace dt
