#include "cache/worker_registry.h"
#include "core/log.h"
#include "plugin/hooks.h"
#include "plugin/presentation.h"
#include "plugin/preview_state.h"
#include "plugin/startup.h"
#include "core/process_flags.h"
#include "core/repeat_log.h"
#include "panel/update_opener.h"
#include "core/machine.h"
#include "pool/batch_threads.h"
#include "pool/pool_runtime_ops.h"
#include "pool/process_control.h"
#include "preview/preview_controller.h"

namespace vel {

void shut_down(PreviewState* state) {
  // Worker threads read the flag and stop asking for early idle calls.
  dying_flag().store(true, std::memory_order_relaxed);
  if (state != nullptr) {
    // The frames already handed to the store reach the disk while the rest
    // shuts down; a quick quit after the last frame loses none of them.
    begin_store_finish(state->store);
    preview_shutdown(state->preview);  // cancels what still waits at the host
    // A batch still running ends here with its report: its workers are
    // killed, and its decoders, discovery and readers find their channels gone.
    (void)take_pool_plan(state->pool, mono_ns());
    // The decoders and discovery of this batch, and of one that closed just
    // before, end as soon as they see their channels gone: none outlives the
    // hook. A decoder stuck in a read is not waited for past the bound.
    (void)wait_for_batch_threads(std::chrono::seconds(2));
  }
  // Workers and engines this host started go before the threads that read
  // them, and the present workers, are joined.
  sweep_session_on_exit();
  presentation_shutdown(state);  // the pacemaker stops, present workers are joined
  stop_idle_probe_pump();
  if (state != nullptr) shut_down_store(state->store);  // within the bound from begin_store_finish
  // Long-lived workers: every stop handle first, then every join.
  drain_deferred_list();
  // An opener that ended since the last tick is reaped; one still running
  // belongs to the user's browser session and is left alone.
  (void)reap_update_openers();
  // The update thread has no stop signal: it sleeps until the process ends.
  // A failure still repeating when the host quits gets its count written.
  log_all_repeats_ended();
  // Nothing is saved here: options are persisted as they change and the
  // disk store writes as it goes.
}

}  // namespace vel
