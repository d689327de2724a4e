// The registry of present worker threads ("velocinta-pixels", later
// "velocinta-present"): at most 16; at the limit a panel presents on the
// main thread. The idle hook reaps finished workers every tick; the death
// hook stops and joins the rest.
#pragma once

#include "cache/worker_registry.h"

namespace vel {

inline constexpr size_t kPresentWorkerLimit = 16;

// The process registry (never destroyed).
BackgroundWorkerRegistry& present_workers();

// Joins and forgets every worker that has finished; a worker that ended by a
// failure is logged once ("present: worker terminated unexpectedly").
void reap_present_workers();

// Tells every worker to stop, then joins them all (death hook).
void join_present_workers();

}  // namespace vel
