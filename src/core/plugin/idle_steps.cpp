// The idle hook's tick as a fixed list of named steps, in the order the
// subsystems depend on each other. A step of a subsystem that has nothing to
// do yet is an empty function, so the order stays visible in one place.
#include <string>

#include "core/log.h"
#include "core/options.h"
#include "core/plugin/hooks.h"
#include "core/plugin/preview_state.h"

namespace vel {
namespace {

void step_present_reap(PreviewState&, uint64_t) {}
void step_downsample_policy(PreviewState&, uint64_t) {}

void step_apply_options(PreviewState& s, uint64_t) {
  PersistedOptions now = snapshot_panel_options();
  if (now == s.persisted_options) return;
  s.persisted_options = now;
  if (auto file = options_file_path()) {
    if (!save_persisted_options(*file, now)) log_line("ERROR", "options: écriture impossible : " + file->string());
  }
}

void step_panel(PreviewState&, uint64_t) {}
void step_comp_tracking(PreviewState&, uint64_t) {}
void step_verification_and_clock(PreviewState&, uint64_t) {}
void step_producers(PreviewState&, uint64_t) {}
void step_preview_tick(PreviewState&, uint64_t) {}

struct IdleStep {
  const char* name;
  void (*run)(PreviewState&, uint64_t now_ns);
};

constexpr IdleStep kIdleSteps[] = {
    {"present-reap", step_present_reap},
    {"downsample-policy", step_downsample_policy},
    {"options", step_apply_options},
    {"panel", step_panel},
    {"comp-tracking", step_comp_tracking},
    {"verification-and-clock", step_verification_and_clock},
    {"producers", step_producers},
    {"preview-tick", step_preview_tick},
};

}  // namespace

void run_idle_steps(PreviewState& state, uint64_t now_ns) {
  for (const IdleStep& step : kIdleSteps) step.run(state, now_ns);
}

}  // namespace vel
