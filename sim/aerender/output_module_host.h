// The stand-in aerender as the host of one output module: it loads the
// plug-in simhost loaded (SIMHOST_PLUGIN), calls its entry with a basic
// suite that serves exactly the four suites an output module acquires (IO
// Out 7, Memory 1, PF World 2, Register 6), keeps the modules registered
// through RegisterIO, and drives the module a template names through its
// callbacks, one at a time and in the host's order, for a frame range.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "aerender_command.h"
#include "aerender_run.h"
#include "project/project_model.h"
#include "simhost/result.h"

namespace sim {

// The output-module template that hands frames to the plug-in's memory
// output, and the signature of the module it names.
inline constexpr const char* kMemoryOutputTemplate = "velocinta-memory-v1";
inline constexpr const char* kMemoryOutputModule = "VnM1";

// dlopen (never closed) and one call of the entry, with the registration
// faults of output_faults.h that name the folder of `output`. An error names
// what failed; a plug-in whose entry answers non-zero is an error as well.
Result<bool> load_output_plugin(const std::string& path, const std::string& output, const EnvLookup& getenv,
                                std::FILE* log);

// Renders the range and hands every frame to the registered module with
// signature `module` (four characters), with the fault switches of
// output_faults.h; the answer is the exit status (0 only when every call
// answered 0 and no memory handle is left). The module is told `comp`'s
// size; the worlds are `rendered`'s, which is `comp` unless the worker was
// told to render another size (render_size.h).
int run_memory_output(const AerenderCommand& cmd, const std::string& module, const Composition& comp,
                      const Composition& rendered, int32_t downsample, std::FILE* log);

// Acquisitions, releases and live memory handles, written to `log`.
void report_output_host(std::FILE* log);

}  // namespace sim
