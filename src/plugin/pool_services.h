// What the rest of the plug-in asks of the render pool: stopping it, and the
// number of Speed levels this machine offers (`default_speed_level`).
#pragma once

#include <cstdint>

#include "pool/schedule/worker_capacity.h"

namespace vel {

struct PreviewState;

// Stops the render pool: forgets its plan, holds and deadlines, and ends the
// render engines it started.
void stop_pool(PreviewState& state);

}  // namespace vel
