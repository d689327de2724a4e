// One run of the stand-in aerender: reads the stand-in host's project file,
// renders the asked frame range of one composition with simhost's renderer
// (each frame waits out the composition's render cost, as in simhost), and
// writes every frame under a temporary "AEtemp" name in the output folder
// before renaming it to its numbered name, so that a reader never sees half
// a frame file. Progress and errors go to `log` ("aerender ERROR: ..." lines,
// naming what was not found); the answer is the exit status.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using EnvLookup = std::function<std::optional<std::string>(const char*)>;

int run_aerender(const std::vector<std::string>& args, const EnvLookup& getenv, std::FILE* log);

}  // namespace sim
