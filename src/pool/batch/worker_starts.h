// A worker's start taken off the main thread: the start runs on the launch
// thread (or in place, in the tests of the logic), and the supervision
// takes its outcome on a later call without waiting for it. A batch that
// ends first abandons its starts: a worker started for it all the same is
// killed off the main thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "pool/batch/pool_job.h"
#include "pool/process/launch_thread.h"
#include "pool/process/worker_launch.h"
#include "pool/schedule/queued_range.h"

namespace vel {

class WorkerStart {
 public:
  enum class Outcome { Pending, Started, Failed };
  // Takes the outcome once it is known, never waiting: Started moves the
  // job into `job`. After Started or Failed the start holds nothing.
  Outcome take(std::optional<PoolJob>& job);
  // The batch no longer wants this worker: when it has started, or starts
  // later, it is killed (with its engines and reader) on `runner`'s thread.
  void abandon();

 private:
  friend std::shared_ptr<WorkerStart> start_worker(std::function<std::optional<PoolJob>(const LaunchRequest&)>,
                                                   LaunchRequest, OffMainRunner);
  void finish(std::optional<PoolJob> job);

  enum : int { kPending, kDone, kTaken, kAbandoned };
  std::atomic<int> state_{kPending};
  std::optional<PoolJob> job_;  // written before kDone, read after it
  OffMainRunner runner_;
};

// Starts `request`'s worker through `spawn` on `runner`'s thread.
std::shared_ptr<WorkerStart> start_worker(std::function<std::optional<PoolJob>(const LaunchRequest&)> spawn,
                                          LaunchRequest request, OffMainRunner runner);

// A start the batch waits for: its range (back to the queue or dropped when
// it fails) and the MFR share it was given.
struct StartInFlight {
  std::shared_ptr<WorkerStart> start;
  QueuedRange range;
  uint32_t mfr_percent = 0;
  uint32_t worker_index = 0;
};

// Whether `frame` from `worker` is one a start in flight will own: a memory
// worker's reader may hand a frame over before the supervision has taken
// the start's outcome.
bool start_owns_frame(std::span<const StartInFlight> starting, std::optional<uint64_t> worker, int64_t frame);

// Kills an abandoned worker: its group, its engines, its reader.
void let_worker_go(PoolJob& job);

}  // namespace vel
