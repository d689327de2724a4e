// The scenario's "metal" event: the stand-in GPU's completion mode and its
// faults, set at a moment of the run, e.g.
//   {"at_ms": 0, "action": "metal", "completion": "held"}
//   {"at_ms": 900, "action": "metal", "fail_command_buffers": 3}
//   {"at_ms": 0, "action": "metal", "fail_creation": "nextDrawable", "count": 2}
//   {"at_ms": 0, "action": "metal", "fail_library": "no compiler"}
//   {"at_ms": 2000, "action": "metal", "release_held": 10}
//   {"at_ms": 3000, "action": "metal", "reset_faults": true}
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "simhost/result.h"

namespace sim {

// Checks the event's fields before the run starts.
Status check_metal_event(const nlohmann::json& e, const std::string& where);
// Applies them to the stand-in.
Status run_metal_event(const nlohmann::json& e);

}  // namespace sim
