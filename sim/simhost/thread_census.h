// The threads of this process besides the caller, by their OS names: after
// the death hooks, whatever the plug-in started must be gone.
#pragma once

#include <string>
#include <vector>

namespace sim {

std::vector<std::string> other_thread_names();

}  // namespace sim
