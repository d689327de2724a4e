// The render engines of ended workers are killed on a thread of its own,
// "velocinta-engine-sweep": finding them takes a walk over every process
// of the machine, which would otherwise hold the host's main thread each
// time a worker or a batch ends. Only clients already reaped are handed
// over: their engines are told apart by the verified rule (parent, start
// before the client's end), which holds however late the walk comes, while
// the pid of a client still unreaped may be freed by the next poll.
#pragma once

#include <chrono>
#include <vector>

#include "pool/process/engine_match.h"

namespace vel {

// Hands the engines of `clients` (each with its end known) to the sweep
// thread, started on the first call through the process's worker registry;
// clients handed while a walk runs share the next one. When the thread
// cannot start, or a client's end is unknown, the engines are killed here
// and now.
void sweep_engines_later(std::vector<EngineClient> clients);

// Waits until every handed client has been swept, at most `limit`; answers
// whether none is left.
bool wait_for_engine_sweeps(std::chrono::milliseconds limit);

}  // namespace vel
