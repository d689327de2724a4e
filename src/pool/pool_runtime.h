// PoolRuntime: the render pool's part of PreviewState. Every switch,
// deadline and measurement that decides whether, when and how a batch of
// aerender workers may start, plus the running batch itself. Main thread
// only; instants are monotonic nanoseconds (mono_ns), none when unset.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "pool/adaptive_scheduler.h"
#include "pool/project_snapshot.h"
#include "pool/startup_context.h"

namespace vel {

using Instant = uint64_t;  // mono_ns
inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kNsPerSec = 1'000'000'000;

inline constexpr uint8_t kOutputPsd = 0;
inline constexpr uint8_t kOutputTga = 1;
inline constexpr uint8_t kOutputMemory = 2;

// The StartupContext's debug form, as PERF lines print it.
std::string debug_text(const StartupContext& context);

struct PoolJob {
  bool first_frame_seen = false;
  double first_frame_ms = 0.0;
  bool per_frame_known = false;
  double per_frame_ms = 0.0;
  bool reservation_released = false;
  Instant started_at = 0;
  uint64_t worker_index = 0;
  int64_t range_start = 0;
  int64_t range_end = 0;  // inclusive
  uint64_t frames_delivered = 0;
  std::shared_ptr<std::atomic<bool>> cancel;  // shared with the worker's threads
  int pid = 0;                                // the worker's process group leader; 0 when none
  bool finished = false;
};

struct QueuedRange {
  int64_t start = 0;
  int64_t end = 0;  // inclusive
  uint8_t state = 0;
};

struct PendingFrameFile {
  std::filesystem::path path;
  int64_t frame = 0;
  std::optional<uint64_t> age_ms;
};

struct WarmEngine {
  int pid = 0;
  int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
};

// What the supervision copies out of a finished plan.
struct PlanSummary {
  uint64_t frames_ingested = 0;
  uint64_t useful_frames = 0;
};

struct PoolPlan {
  Instant started_at = 0;
  std::vector<PoolJob> jobs;
  std::deque<QueuedRange> queued_ranges;
  std::deque<PendingFrameFile> pending_frames;
  StartupContext context;
  std::optional<double> predicted_secs;
  uint64_t expected_frames = 0;
  uint64_t first_delivery_limit_secs = 0;
  std::set<int64_t> frames_seen;
  uint64_t frames_ingested = 0;
  uint8_t output_format = kOutputPsd;
  SchedulerTrial scheduler;
  PlanSummary summary;
  bool completed = false;  // the plan reached its completed phase
  uint64_t progress_a = 0, progress_b = 0;
  // Supervision state set back by reset_pool_plan.
  std::optional<Instant> pending_a, pending_b;
  uint64_t counter_a = 0, counter_b = 0;
  std::map<int64_t, uint32_t> frame_tries;
};

struct DeliveryDescriptor {
  uint64_t comp_identity = 0;
  uint64_t file_downsample = 1;
  std::optional<std::pair<uint32_t, uint32_t>> dimensions;
  bool comp_3d = false;
  uint8_t output = kOutputPsd;
  double timing_a = 0.0;
  double per_frame_ms = 0.0;  // the pool's smoothed time per frame
  uint64_t span = 0, downsample = 1, effective_step = 1;
};

struct LastPlanProgress {
  uint64_t a = 0, b = 0;
  bool all_cancelled = false;
};

struct FirstDeliverySample {
  StartupContext context;
  double ms = 0.0;
  bool measured = false;
};

struct PoolRuntime {
  std::optional<PoolPlan> plan;
  SchedulerTrial carried_scheduler;
  uint64_t snapshot_generation = 0;
  std::vector<WarmEngine> warm_engines;
  std::vector<FirstDeliverySample> first_delivery_history;
  std::vector<int> ended_clients;  // pids of ended aerender clients
  std::string batch_comp_name;
  std::optional<std::filesystem::path> snapshot_path;
  std::optional<SnapshotReady> snapshot_file;
  std::optional<DeliveryDescriptor> delivery_descriptor;
  std::optional<StartupContext> batch_identity;
  PlanSummary summary;

  uint64_t ramp_window_ns = 0;
  uint64_t ramp_increment_ns = 0;
  std::optional<Instant> ramp_started;
  bool ramp_open = false;
  bool ramp_active = false;

  std::optional<Instant> launch_debounce_from;
  std::optional<Instant> last_edit_at;
  std::optional<Instant> ranges_held_until;
  std::optional<FileStamp::Time> last_edit_wall_time;
  std::optional<Instant> last_periodic_check;
  std::optional<Instant> rss_window_started;
  std::optional<Instant> cpu_sample_at;
  std::optional<Instant> handoff_deadline;
  std::optional<Instant> handoff_companion;
  std::optional<Instant> launch_cooldown_until;
  LastPlanProgress last_plan_progress;

  uint64_t file_downsample = 1;
  uint64_t comp_identity = 0;
  uint64_t group_rss_peak = 0;
  uint64_t worker_bytes_estimate = 0;
  uint64_t total_rss_peak = 0;
  uint64_t concurrent_groups = 0;
  bool memory_sample_held = false;  // the last accepted pool memory sample
  std::optional<std::pair<uint32_t, uint32_t>> comp_dimensions;

  bool pool_enabled = false;
  bool ranges_held = false;
  bool hold_grace_armed = false;
  bool disabled_for_session = false;
  bool decode_flag = false;
  bool comp_is_3d = false;
  bool gpu_contended = false;
  bool preparation_hold = false;
  bool heavy_frames = false;
  bool save_required = false;
  bool pump_flag = false;  // the pool pump's own flag, cleared by reset_pool_plan

  uint8_t templates_ready = 0;  // 0 not ready, 1 ready, 2 suspended
  uint32_t template_failures = 0;
  SnapshotSlot snapshot_reply;
  double last_snapshot_copy_ms = 0.0;
  uint8_t requested_output = kOutputPsd;
  uint8_t selected_output = kOutputPsd;

  std::optional<int64_t> last_reorder_playhead;
  std::optional<Instant> last_idle_tick;  // measures each tick for the ramp window
};

// The runtime as PreviewState's constructor leaves it: pool off, the given
// requested and selected output, reset_pool_plan applied.
PoolRuntime new_pool_runtime(uint8_t requested_output);

// The process-wide memory-output token: 1 while a memory-output worker's
// segment exists, taken by compare-and-swap 0 -> 1.
std::atomic<uint32_t>& memory_output_token();

// Frame count of an inclusive range; an end below the start counts 1.
uint64_t range_frame_count(int64_t start, int64_t end);

}  // namespace vel
