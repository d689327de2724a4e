#pragma once

namespace sim {

// The object model's source, run before every script.
const char* script_prelude();

}  // namespace sim
