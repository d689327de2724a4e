// Environment switches: each read once, lazily, on first use from any thread,
// then cached for the life of the process.
#pragma once

#include <optional>
#include <string>

namespace vel {

// The two parsing rules, pure so they can be tested without touching the
// process environment. A null value means "not set".
bool switch_on_when_one(const char* value);     // on only when exactly "1"
bool switch_on_unless_zero(const char* value);  // on unless exactly "0"

// On only when exactly "1".
bool perf_enabled();
bool raster_enabled();
bool witness_dump_enabled();

// On unless exactly "0".
bool partial_archive_eviction_enabled();
bool measured_admission_enabled();
bool adaptive_scheduler_enabled();
bool frame_packing_enabled();
bool delivery_optimize_enabled();
bool prepare_enabled();
bool async_present_enabled();
bool pipeline_optimize_enabled();
bool async_enabled();
bool pacemaker_enabled();
bool pool_ramp_enabled();
bool missing_ok_enabled();

// Set and not "0".
bool dev_commands_enabled();

// Raw value of an environment variable, read each call (for the values that
// are themselves cached by their owners).
std::optional<std::string> env_value(const char* name);

}  // namespace vel
