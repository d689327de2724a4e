// "velocinta-pool-launch": the thread that starts the pool's workers, so
// that whatever a start waits on (the job folder and the worker's log and
// folder, its shared-memory output, posix_spawn until the child has exec'd,
// the worker record, the reader thread) never holds the host's main thread.
// The main thread only posts work here and later reads what came of it.
#pragma once

#include <chrono>
#include <functional>

namespace vel {

// Runs `task` on the launch thread, after the tasks posted before it; the
// thread starts on the first call, in the process's worker registry. Where
// it cannot start (the registry full), the task runs here and now, as work
// whose thread is missing does.
void run_on_launch_thread(std::function<void()> task);

// At the host's quit: waits until every task posted has run, at most
// `limit`; answers whether none is left. Never from the idle hook.
bool wait_for_launch_thread(std::chrono::milliseconds limit);

// How work is taken off the calling thread: the plug-in passes
// run_on_launch_thread; empty runs it in place (tests of the logic).
using OffMainRunner = std::function<void(std::function<void()>)>;
void run_off_main(const OffMainRunner& runner, std::function<void()> task);

}  // namespace vel
