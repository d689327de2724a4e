#include "cache/worker_registry.h"
#include "core/log.h"
#include "core/plugin/hooks.h"
#include "core/plugin/preview_state.h"
#include "core/plugin/startup.h"
#include "core/process_flags.h"
#include "core/repeat_log.h"
#include "pool/process_control.h"
#include "preview/preview_controller.h"

namespace vel {

void shut_down(PreviewState* state) {
  // Worker threads read the flag and stop asking for early idle calls.
  dying_flag().store(true, std::memory_order_relaxed);
  if (state != nullptr) {
    preview_shutdown(state->preview);  // cancels what still waits at the host
  }
  stop_idle_probe_pump();
  // Workers and engines this host started go before the threads that read
  // them are joined.
  sweep_session_on_exit();
  // Long-lived workers: every stop handle first, then every join.
  drain_deferred_list();
  // A failure still repeating when the host quits gets its count written.
  log_all_repeats_ended();
  // Nothing is saved here: options are persisted as they change and the
  // disk store writes as it goes.
}

}  // namespace vel
