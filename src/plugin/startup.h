// Start-up: what the entry point runs once, on load, on the host's main thread.
#pragma once

#include <cstdint>

#include "host/handles.h"

struct SPBasicSuite;

namespace vel {

struct PreviewState;

struct StartupOutcome {
  PreviewState* state = nullptr;  // the global refcon (null when inert or failed)
  int32_t error = 0;              // host error code; 0 on success
};

StartupOutcome plugin_init(const SPBasicSuite* basic, int32_t host_major, int32_t host_minor, PluginId plugin_id);

// Stops the idle-probe pump of probe mode (death hook).
void stop_idle_probe_pump();

}  // namespace vel
