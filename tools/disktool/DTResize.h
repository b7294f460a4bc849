#pragma once

// The resize verb of the hdiutil personality.

#include "DTTools.h"

namespace dt {

// "resize -size SECTORS DEVICE": a memory instance of the caller's takes the new size,
// keeping what it holds. Refused, with nothing changed, for a device that is not the
// caller's, for a loop device (it needs ejecting), below what the volume holds and 1 %,
// and beyond the caller's and the machine's memory.
int hdiutilResize(const Args &args);

} // namespace dt
