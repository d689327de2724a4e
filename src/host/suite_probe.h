// Start-up's look at which suites the host offers.
#pragma once

#include <cstddef>

namespace vel {

// Acquires and releases each suite the plug-in uses through this layer
// (Memory, Comp, Item, Layer, Command, Footage, Utility, Register, Proj,
// Stream, Keyframe, Effect). A missing one gets its "Suite not found" line;
// never fatal. Returns how many were missing. Main thread.
size_t probe_host_suites();

// Whether the last probe found the Proj suite missing: callers that would
// ask for it on every tick stay away instead of logging it again each time.
bool project_suite_missing_at_probe();

}  // namespace vel
