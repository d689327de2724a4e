// The library's one exported symbol. Its parameter types are the host's
// entry signature spelled in plain types (checked against the host's
// declaration by the plug-in tests).
#include <cstdint>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "plugin/startup.h"

extern "C" __attribute__((visibility("default"))) int32_t EntryPointFunc(SPBasicSuite* basic, int32_t major_version,
                                                                         int32_t minor_version, int32_t plugin_id,
                                                                         void** global_refcon) {
  constexpr int32_t kGenericError = 1;
  if (global_refcon != nullptr) *global_refcon = nullptr;
  return vel::ffi_boundary("EntryPointFunc", kGenericError, [&] {
    vel::StartupOutcome out = vel::plugin_init(basic, major_version, minor_version, plugin_id);
    if (out.error != 0) {
      vel::log_line("ERROR", "velocinta: échec de l'initialisation (code " + std::to_string(out.error) + ")");
      return out.error;
    }
    if (global_refcon != nullptr) *global_refcon = out.state;
    return int32_t{0};
  });
}
