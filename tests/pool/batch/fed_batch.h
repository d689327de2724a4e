// A batch of no process for the supervision's tests: its frame channel is
// fed by the test, its one worker long gone, and the world around it quiet
// (the test's clock, one worker, memory to spare, no spawn).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "pool/batch/batch_supervision.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel::testing {

struct FedBatchShape {
  int64_t frame_step = 1;
  uint64_t expected_frames = 0;
  int64_t last_frame = 0;  // the worker's range is 0 .. last_frame
};

// Starts the batch in `rt` at `started`, its frames coming from `frames`.
inline PoolPlan& start_fed_batch(PoolRuntime& rt, FrameReceiver frames, Instant started, FedBatchShape shape) {
  rt.pool_enabled = true;
  rt.comp_identity = 7;
  PoolPlan& plan = rt.plan.emplace();
  plan.ownership.armed = false;  // no process, no report
  plan.frames = std::move(frames);
  plan.started_at = started;
  plan.silent_limit_secs = 240;
  plan.time_scale = 24;
  plan.frame_step = shape.frame_step;
  plan.expected_frames = shape.expected_frames;
  plan.context.identity = 7;
  plan.shared_counter = std::make_shared<std::atomic<uint64_t>>(1);
  // The worker the test's frames come from, long gone: its range holds
  // every frame the tests send.
  PoolJob& sender = plan.jobs.emplace_back();
  sender.worker_index = 0;
  sender.first_frame = 0;
  sender.last_frame = shape.last_frame;
  sender.finished = true;
  return plan;
}

inline void quiet_supervision_world(SupervisionWorld& world, std::function<Instant()> clock) {
  world.clock = std::move(clock);
  world.measured_admission = false;
  world.adaptive_scheduler = false;
  world.effective_workers = [] { return uint64_t{1}; };
  world.available_memory = [] { return std::optional<uint64_t>(uint64_t{16} << 30); };
  world.spawn_worker = [](const LaunchRequest&) { return std::optional<PoolJob>(); };
}

}  // namespace vel::testing
