#include "cache/worker_registry.h"
#include "core/log.h"
#include "plugin/hooks.h"
#include "plugin/presentation.h"
#include "plugin/preview_state.h"
#include "plugin/startup.h"
#include "core/process_flags.h"
#include "core/repeat_log.h"
#include "panel/update/update_opener.h"
#include "core/machine.h"
#include "pool/batch/batch_threads.h"
#include "pool/process/launch_thread.h"
#include "pool/process/process_control.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "preview/preview_controller.h"

namespace vel {

namespace {

// Nothing is saved at death: options are persisted as they change and the
// disk store writes as it goes; it only finishes what it was handed.
constexpr DeathStep kDeathSteps[] = {
    // Worker threads read the flag and stop asking for early idle calls.
    {"dying flag", [](PreviewState*) { dying_flag().store(true, std::memory_order_relaxed); }},
    // The frames already handed to the store reach the disk while the rest
    // shuts down; a quick quit after the last frame loses none of them.
    {"store: begin finishing", [](PreviewState* s) { if (s) begin_store_finish(s->store); }},
    {"cancel asynchronous renders", [](PreviewState* s) { if (s) preview_shutdown(s->preview); }},
    // A batch still running ends here with its report: its workers are
    // killed, and its decoders, discovery and readers find their channels
    // gone and end; one stuck in a read is not waited for past the bound.
    {"end the pool batch",
     [](PreviewState* s) {
       if (!s) return;
       (void)take_pool_plan(s->pool, mono_ns());
       // A start under way finishes (or lets its worker go) before the
       // session's sweep reaches the same children.
       (void)wait_for_launch_thread(std::chrono::seconds(2));
       (void)wait_for_batch_threads(std::chrono::seconds(2));
       // The snapshot copy and the warm-up folder go with the session, not
       // at the next load.
       end_pool_session_files(s->pool);
     }},
    // Workers and engines this host started go before the threads that read
    // them, and the present workers, are joined.
    {"sweep the session", [](PreviewState*) { sweep_session_on_exit(); }},
    {"join present workers", [](PreviewState* s) { presentation_shutdown(s); }},  // the pacemaker stops first
    {"stop the idle probe", [](PreviewState*) { stop_idle_probe_pump(); }},
    {"store: finish", [](PreviewState* s) { if (s) shut_down_store(s->store); }},  // within its bound
    // Long-lived workers: every stop handle first, then every join.
    {"drain the worker registry", [](PreviewState*) { drain_deferred_list(); }},
    // An opener that ended since the last tick is reaped; one still running
    // belongs to the user's browser session and is left alone. The update
    // thread has no stop signal: it sleeps until the process ends.
    {"reap update openers", [](PreviewState*) { (void)reap_update_openers(); }},
    // A failure still repeating when the host quits gets its count written.
    {"close repeated failures", [](PreviewState*) { log_all_repeats_ended(); }},
};

}  // namespace

std::span<const DeathStep> death_steps() { return kDeathSteps; }

void shut_down(PreviewState* state) {
  for (const DeathStep& step : kDeathSteps) step.run(state);
}

}  // namespace vel
