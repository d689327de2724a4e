// Start-up's look at which suites the host offers.
#pragma once

#include <cstddef>

namespace vel {

// Acquires and releases each suite the plug-in uses through this layer
// (Memory, Comp, Item, Layer, Command, Footage, Utility, Register, Proj,
// Stream, Keyframe, Effect). A missing one gets its "Suite not found" line;
// never fatal. Returns how many were missing. Main thread.
size_t probe_host_suites();

}  // namespace vel
