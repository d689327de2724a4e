#include "core/switches.h"

#include <cstdlib>
#include <cstring>

namespace vel {

bool switch_on_when_one(const char* value) { return value != nullptr && std::strcmp(value, "1") == 0; }
bool switch_on_unless_zero(const char* value) { return value == nullptr || std::strcmp(value, "0") != 0; }

std::optional<std::string> env_value(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

// Function-local statics: thread-safe once-initialisation, and trivially
// destructible (bool), so detached threads may read them during exit.
#define VEL_SWITCH_WHEN_ONE(fn, var) \
  bool fn() {                        \
    static const bool on = switch_on_when_one(std::getenv(var)); \
    return on;                       \
  }
#define VEL_SWITCH_UNLESS_ZERO(fn, var) \
  bool fn() {                           \
    static const bool on = switch_on_unless_zero(std::getenv(var)); \
    return on;                          \
  }

VEL_SWITCH_WHEN_ONE(perf_enabled, "VELOCINTA_PERF")
VEL_SWITCH_WHEN_ONE(raster_enabled, "VELOCINTA_RASTER")
VEL_SWITCH_WHEN_ONE(witness_dump_enabled, "VELOCINTA_WITNESS_DUMP")

VEL_SWITCH_UNLESS_ZERO(partial_archive_eviction_enabled, "VELOCINTA_PARTIAL_ARCHIVE_EVICTION")
VEL_SWITCH_UNLESS_ZERO(measured_admission_enabled, "VELOCINTA_MEASURED_ADMISSION")
VEL_SWITCH_UNLESS_ZERO(adaptive_scheduler_enabled, "VELOCINTA_ADAPTIVE_SCHEDULER")
VEL_SWITCH_UNLESS_ZERO(frame_packing_enabled, "VELOCINTA_FRAME_PACKING")
VEL_SWITCH_UNLESS_ZERO(delivery_optimize_enabled, "VELOCINTA_DELIVERY_OPTIMIZE")
VEL_SWITCH_UNLESS_ZERO(prepare_enabled, "VELOCINTA_PREPARE")
VEL_SWITCH_UNLESS_ZERO(async_present_enabled, "VELOCINTA_ASYNC_PRESENT")
VEL_SWITCH_UNLESS_ZERO(pipeline_optimize_enabled, "VELOCINTA_PIPELINE_OPTIMIZE")
VEL_SWITCH_UNLESS_ZERO(async_enabled, "VELOCINTA_ASYNC")
VEL_SWITCH_UNLESS_ZERO(pacemaker_enabled, "VELOCINTA_PACEMAKER")
VEL_SWITCH_UNLESS_ZERO(pool_ramp_enabled, "VELOCINTA_POOL_RAMP")
VEL_SWITCH_UNLESS_ZERO(missing_ok_enabled, "VELOCINTA_MISSING_OK")

bool dev_commands_enabled() {
  static const bool on = [] {
    const char* v = std::getenv("VELOCINTA_DEV");
    return v != nullptr && std::strcmp(v, "0") != 0;
  }();
  return on;
}

}  // namespace vel
