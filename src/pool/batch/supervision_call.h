// One call of the batch supervision, as its steps share it: the runtime and
// its plan, the call's instant, the frames gathered so far and what the
// receive and exit steps learnt. Private to the supervision's own files.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "pool/batch/batch_supervision.h"
#include "pool/batch/supervision_receive.h"

namespace vel {

struct SupervisionCall {
  PoolRuntime& rt;
  const SupervisionWorld& world;
  uint64_t output_ds = 1;
  Instant now = 0;
  // The pump's form: whether the cache already serves a frame. Empty in the
  // idle hook's form.
  std::function<bool(int64_t)> served;
  const FrameCache* cache = nullptr;
  WidthRule rule;

  bool adaptive = false;
  uint64_t workers_per_batch = 1;
  SchedulerAssessment verdict;
  ReceiveEnd receive_end = ReceiveEnd::Empty;
  bool memory_exits_draining = false;  // exited memory jobs whose frames may still come
  uint64_t frame_budget = 0;           // frames the scheduler's lists and the cut may still examine
  std::vector<IngestedFrame> frames;

  PoolPlan& plan() { return *rt.plan; }
  BatchTimeBase time() { return BatchTimeBase{rt.plan->frame_step, rt.plan->time_scale}; }
  bool memory_output() { return rt.plan->output_format >= kOutputMemory; }
};

// The outcome of the workers' starts: each started one becomes a job, a
// failed one gives its range back. BatchEnded when the batch was taken out
// (none of its workers started, or a memory worker did not).
enum class StartsTaken { Quiet, Failed, BatchEnded };
StartsTaken take_worker_starts(SupervisionCall& call);

// Step 9: the admission verdict with its record and, in adaptive mode, the
// scheduler's pressure, cancellation and trial.
void supervise_admission(SupervisionCall& call);
// Step 13: further workers from the queue. Answers false when the batch
// was taken out (a memory launch that failed).
bool launch_further_workers(SupervisionCall& call);
// The end of an adaptive call: the POOL_SCHEDULER outcome record when the
// scheduler's state changed.
void write_scheduler_outcome(SupervisionCall& call);

// The MFR percents of the batch's workers that hold a slot.
std::vector<uint32_t> running_mfr_percents(const PoolPlan& plan);
// The CPU load the memory tick last took, with its stamp.
CpuSample cpu_sample_of(const PoolRuntime& rt);

}  // namespace vel
