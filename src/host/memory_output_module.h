// The output module "Velocinta Memory 8bpc" (signature VnM1, extension vnm)
// that a render worker's plug-in registers with the host, so that the host
// hands every rendered frame to the shared-memory output instead of writing
// an image file. This file holds the host side: the suites the module uses,
// its registration record, and the callbacks, each behind the failure
// boundary (0 success, 9990 an error logged "AEIO <callback>: <text>", 9988
// a failure caught at the boundary, 9992 "do the host's default").
#pragma once

#include <cstdint>

#include "core/result.h"
#include "host/handles.h"

// The host's records, declared in hostsdk/ (included by the module's source
// and its tests only).
struct SPBasicSuite;
struct AEIO_ModuleInfo;
struct AEIO_FunctionBlock;

namespace vel {

inline constexpr int32_t kAeioError = 9990;
inline constexpr int32_t kAeioBoundaryFailure = 9988;
inline constexpr int32_t kAeioUseDefault = 9992;

// Registers the module once per process. A later call answers success only
// when the host accepted the first registration, and the same refusal
// otherwise. `engine`: the process is the headless render engine.
Status<> register_memory_output(const SPBasicSuite* basic, PluginId plugin_id, bool engine);

// The registration record and the callback table the module hands over.
AEIO_ModuleInfo memory_output_module_info();
const AEIO_FunctionBlock& memory_output_callbacks();

// Tests only: forgets the registration so that another one can run.
void forget_memory_output_registration_for_tests();

}  // namespace vel
