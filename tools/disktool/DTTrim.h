#pragma once

// Giving a mounted loop device's memory back (memory instances need none of this: their
// deleted files give their memory back by themselves). Deleted files free blocks of the
// file system, but their memory stays in the memory file until the blocks are discarded.
// Discarding on every delete (the `discard` mount option) makes deleting several times
// slower, so each mount gets a small keeper process instead: it watches the free space and,
// once it has grown and settled (a quiet moment), trims the file system (FITRIM), which
// punches the freed blocks out of the memory file.
//
// The keeper is started by the mount itself, which runs as root already: no later call
// through pkexec is needed, and it works whether or not any Quilmo program runs. It holds
// nothing open between its looks (so unmounting and detaching are never held up), acts
// only on the mount it was started for, and ends as soon as that mount is gone (or when
// it alone is left in a private mount namespace, which it would otherwise keep alive with
// the mount and the device).

#include "DTSystem.h"

namespace dt {

// Starts the keeper of the mount with that id (just made on the device). Returns at once;
// the keeper runs detached, without our standard streams or any other descriptor.
void startTrimKeeper(const LoopDevice &device, int mountId);

// The name the keeper runs under ("qmtrim-loopN"), as /proc/PID/comm shows it.
std::string trimKeeperName(const LoopDevice &device);

} // namespace dt
