#include "plugin/hooks.h"

#include <string>

#include "core/ffi_boundary.h"
#include "core/log.h"
#include "core/machine.h"
#include "plugin/commands.h"
#include "plugin/preview_state.h"
#include "core/process_flags.h"
#include "host/hook_calls.h"
#include "host/utility_calls.h"

namespace vel {

bool advance_idle_clock(IdleClock& clock, uint64_t now_ns) {
  ++clock.calls;
  if (clock.last_call_ns != 0 && now_ns > clock.last_call_ns && now_ns - clock.last_call_ns > kIdleLongGapNs) {
    clock.holdoff_until_ns = now_ns + kIdleHoldoffNs;
  }
  clock.last_call_ns = now_ns;
  return now_ns < clock.holdoff_until_ns;
}

int32_t idle_hook(void* plugin_refcon, void* /*refcon*/, int32_t* max_sleep_ms) {
  return ffi_boundary("idle_hook", int32_t{0}, [&] {
    if (max_sleep_ms != nullptr) *max_sleep_ms = kIdleMaxSleepMs;
    auto* state = static_cast<PreviewState*>(plugin_refcon);
    if (state == nullptr) return int32_t{0};
    if (state->idle.in_tick) return int32_t{0};
    state->idle.in_tick = true;
    struct Leave {
      PreviewState* s;
      ~Leave() { s->idle.in_tick = false; }
    } leave{state};

    const uint64_t now = mono_ns();
    advance_idle_clock(state->idle, now);
    auto modal = host_shows_modal();
    const bool is_modal = modal.ok() && modal.value();
    modal_flag().store(is_modal, std::memory_order_relaxed);
    if (is_modal) return int32_t{0};  // only the clocks advance behind a modal window
    ++state->idle.ticks;
    run_idle_steps(*state, now);
    return int32_t{0};
  });
}

int32_t update_menu_hook(void* plugin_refcon, void* /*refcon*/, int32_t /*active_window*/) {
  return ffi_boundary("update_menu_hook", int32_t{0}, [&] {
    update_menu_commands(static_cast<const PreviewState*>(plugin_refcon));
    return int32_t{0};
  });
}

int32_t death_hook(void* plugin_refcon, void* /*refcon*/) {
  return ffi_boundary("death_hook", int32_t{0}, [&] {
    shut_down(static_cast<PreviewState*>(plugin_refcon));
    return int32_t{0};
  });
}

void register_plugin_hooks(PluginId plugin_id) {
  auto report = [](const char* what, const Status<AeError>& r) {
    if (!r) log_line("ERROR", std::string(what) + " : " + to_string(r.error()));
  };
  report("enregistrement du hook update-menu", register_update_menu_hook(plugin_id, &update_menu_hook, nullptr));
  report("enregistrement du hook idle", register_idle_hook(plugin_id, &idle_hook, nullptr));
  report("enregistrement du hook death", register_death_hook(plugin_id, &death_hook, nullptr));
}

}  // namespace vel
