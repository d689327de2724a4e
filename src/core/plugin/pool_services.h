// What the rest of the plug-in asks of the render pool: stopping it, and the
// number of Speed levels this machine offers.
#pragma once

#include <cstdint>

namespace vel {

struct PreviewState;

// Stops the render pool: forgets its plan and deadlines, ends the render
// engines it started, and logs "pool: stop".
void stop_pool(PreviewState& state);

// The machine's Speed levels, 1..4: the panel offers that many Speed
// choices and hides its Speed popup below 2.
uint64_t default_speed_level();

}  // namespace vel
