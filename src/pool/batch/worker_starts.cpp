#include "pool/batch/worker_starts.h"

#include <utility>

namespace vel {

bool start_owns_frame(std::span<const StartInFlight> starting, std::optional<uint64_t> worker, int64_t frame) {
  if (!worker) return false;
  for (const StartInFlight& s : starting)
    if (s.worker_index == *worker) return s.range.start <= frame && frame <= s.range.end;
  return false;
}

void let_worker_go(PoolJob& job) {
  if (job.reader_flags) (*job.reader_flags)[0].store(true, std::memory_order_release);
  kill_pool_worker(job.child);
}

std::shared_ptr<WorkerStart> start_worker(std::function<std::optional<PoolJob>(const LaunchRequest&)> spawn,
                                          LaunchRequest request, OffMainRunner runner) {
  auto start = std::make_shared<WorkerStart>();
  start->runner_ = runner;
  run_off_main(runner, [start, spawn = std::move(spawn), request = std::move(request)] {
    // A batch that ended before its turn came starts nothing.
    if (start->state_.load(std::memory_order_acquire) == WorkerStart::kAbandoned) return;
    start->finish(spawn ? spawn(request) : std::nullopt);
  });
  return start;
}

void WorkerStart::finish(std::optional<PoolJob> job) {
  job_ = std::move(job);
  int expected = kPending;
  if (state_.compare_exchange_strong(expected, kDone, std::memory_order_acq_rel)) return;
  // Abandoned while it started: this thread lets the worker go.
  if (job_) let_worker_go(*job_);
  job_.reset();
}

WorkerStart::Outcome WorkerStart::take(std::optional<PoolJob>& job) {
  int expected = kDone;
  if (!state_.compare_exchange_strong(expected, kTaken, std::memory_order_acq_rel)) {
    return expected == kPending ? Outcome::Pending : Outcome::Failed;
  }
  const bool started = job_.has_value();
  job = std::move(job_);
  job_.reset();
  return started ? Outcome::Started : Outcome::Failed;
}

void WorkerStart::abandon() {
  int expected = kPending;
  if (state_.compare_exchange_strong(expected, kAbandoned, std::memory_order_acq_rel)) return;
  if (expected != kDone) return;
  // Started and not yet taken: it goes, killed off this thread.
  state_.store(kTaken, std::memory_order_relaxed);
  if (!job_) return;
  auto job = std::make_shared<PoolJob>(std::move(*job_));
  job_.reset();
  run_off_main(runner_, [job] { let_worker_go(*job); });
}

}  // namespace vel
