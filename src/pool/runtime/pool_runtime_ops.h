// The gates, deadlines and lifecycle of PoolRuntime. Every gate answers
// false at its first failing test and has no side effect, except the
// periodic template check, which restamps itself when it answers true.
// Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/runtime/pool_runtime.h"
#include "pool/schedule/frame_range.h"

namespace vel {

// What the gates read besides the runtime: the clock and two process-wide
// counts owned elsewhere.
struct GateWorld {
  Instant now = 0;
  uint64_t async_renders_in_flight = 0;
  uint32_t memory_token = 0;
};

bool pool_launch_allowed(const PoolRuntime& rt, Instant now);
bool pool_next_batch_ready(const PoolRuntime& rt, const GateWorld& world);
// The pool is on and admitted for the composition: its batch runs, or the
// next one only waits for the running batch, the chaining delay or the
// memory output of the last one. The preview leaves the work area to it.
// Never while the pool folder's volume has no room for a worker: the
// preview renders what the pool cannot.
bool pool_engaged(const PoolRuntime& rt, const GateWorld& world);
bool pool_ranges_held(const PoolRuntime& rt, Instant now);
bool pool_periodic_check_due(PoolRuntime& rt, Instant now);

// The worker-count bound; `worker_count` is pool_worker_count(), the
// machine's facts are passed in so the rule can be tested on any machine.
struct WorkerCountInputs {
  uint64_t worker_count = 1;
  std::optional<uint64_t> physical_memory;
  uint64_t pressure_percent = 100;
  bool measured_admission = true;
};
uint64_t pool_effective_worker_count(const PoolRuntime& rt, const WorkerCountInputs& in);

struct PlanMatch {
  double timing_a = 0.0, per_frame_ms = 0.0;
  uint64_t span = 0, downsample = 1, effective_step = 1;
};
std::optional<PlanMatch> pool_plan_match(const PoolRuntime& rt, uint64_t downsample, uint64_t span);

void note_pool_comp_edit(PoolRuntime& rt, Instant now);
void allow_immediate_pool_launch(PoolRuntime& rt, Instant now);
void set_pool_ranges_held(PoolRuntime& rt, bool held, Instant now);
void request_witness_handoff(PoolRuntime& rt, bool on, Instant now);
void advance_pool_ramp_window(PoolRuntime& rt, bool active);
void note_gpu_contention(PoolRuntime& rt, std::string_view reason, double render_ms);
void disable_pool_for_session(PoolRuntime& rt, std::string_view reason);
void drop_queued_ranges_on_hide(PoolRuntime& rt);

void reset_pool_plan(PoolRuntime& rt);
std::optional<PoolPlan> take_pool_plan(PoolRuntime& rt, Instant now);
// Leaves no worker, warm engine or snapshot behind.
void stop_pool(PoolRuntime& rt, Instant now);
void reset_group_rss_peak(PoolRuntime& rt);

// Kills each unfinished job of `plan`, marks it finished and raises its
// cancel flag; kills the warm engines and closes their descriptors.
void kill_unfinished_jobs(PoolPlan& plan);
// Finished, with its reader's cancel flag raised when it has a reader.
bool job_cancelled(const PoolJob& job);
void kill_warm_engines(PoolRuntime& rt);
// At the host's quit: the warm engines end, the adopted snapshot copy and,
// when this host holds the pool folder, the warm-up folder are deleted.
void end_pool_session_files(PoolRuntime& rt);
// Kills the engines these ended clients left, by the verified engine rule.
void sweep_ended_clients(std::vector<EndedClient> clients);
// The same walk over every process, on the launch thread: the main thread
// hands the clients over and goes on.
void sweep_ended_clients_later(std::vector<EndedClient> clients);
// Whether an aerender of ours runs, as the launch thread last found it;
// each call asks it to look again. True until it has looked once, so that
// nothing is swept on a guess.
bool aerender_running_as_last_seen();

std::vector<FrameRange> pool_pending_ranges(const PoolRuntime& rt, Instant now);
// The running batch's ranges the pool no longer stands for: all of them once
// the first-delivery limit passed without a frame, else the ranges of the
// jobs whose claim the asynchronous prefetch took over (2D). Their workers
// may still deliver; the preview renders these frames meanwhile.
std::vector<FrameRange> pool_given_up_ranges(const PoolRuntime& rt, Instant now);
// A batch runs and nothing came before its first-delivery limit: the pool
// delivers nothing until that batch is killed, and no next batch starts
// before.
bool pool_batch_given_up(const PoolRuntime& rt, Instant now);
// The frames the running batch is about to hand over: for each worker still
// delivering (a frame within twice its smoothed interval, at least 250 ms),
// the frame after those it delivered. A worker that never delivered, or
// stopped, is about to hand over nothing.
std::vector<int64_t> pool_frames_coming(const PoolRuntime& rt, Instant now);

// The asynchronous renderer's timings for one downsample.
struct AsyncTimingTable {
  uint64_t count = 0;
  double mean_first_ms = 0.0;
  std::vector<double> completions_ms;  // oldest first
};
// Indexed by log2 of the downsample: 1, 2, 4, 8, 16.
using AsyncTimingTables = std::array<AsyncTimingTable, 5>;
std::vector<FrameRange> release_async_2d_reservations(PoolRuntime& rt, uint64_t downsample,
                                                      const AsyncTimingTables& tables, Instant now);

void reorder_queued_ranges(PoolRuntime& rt, int64_t playhead);
// The read-first order on its own: frames at or after the playhead first.
void sort_read_first(std::deque<DiscoveredFile>& entries, int64_t playhead);

std::optional<double> longest_remaining_secs(const std::vector<PoolJob>& jobs, Instant now);
// Steps `it` to the next try count that is 0 or at least 120; whether one was found.
template <class It>
bool next_abandoned_frame(It& it, It end) {
  for (; it != end; ++it) {
    uint32_t tries = *it;
    if (tries == 0 || tries >= 120) return true;
  }
  return false;
}

}  // namespace vel
