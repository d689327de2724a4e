// The host's hooks into the plug-in. Each is a failure boundary, and each
// tolerates a null global refcon: hooks are registered before the state
// exists, and a host may call them in between.
#pragma once

#include <cstdint>
#include <span>

#include "host/handles.h"

namespace vel {

inline constexpr int32_t kIdleMaxSleepMs = 15;
inline constexpr uint64_t kIdleLongGapNs = 700'000'000;   // a gap above this arms the hold-off
inline constexpr uint64_t kIdleHoldoffNs = 3'000'000'000;

int32_t idle_hook(void* plugin_refcon, void* refcon, int32_t* max_sleep_ms);
int32_t update_menu_hook(void* plugin_refcon, void* refcon, int32_t active_window);
int32_t death_hook(void* plugin_refcon, void* refcon);

// Registers the update-menu, idle and death hooks, in that order.
void register_plugin_hooks(PluginId plugin_id);

struct PreviewState;
struct IdleClock;
// The clock part of a call, pure for tests: counts the call, measures the
// gap and arms the hold-off. Returns true while the hold-off runs.
bool advance_idle_clock(IdleClock& clock, uint64_t now_ns);
// One tick's steps, in order (not modal, not re-entered).
void run_idle_steps(PreviewState& state, uint64_t now_ns);
// The shutdown sequence of the death hook: its steps, in order.
struct DeathStep {
  const char* name;
  void (*run)(PreviewState* state);  // state may be null
};
std::span<const DeathStep> death_steps();
void shut_down(PreviewState* state);

}  // namespace vel
