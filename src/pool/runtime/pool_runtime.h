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

#include "pool/batch/delivery_ledger.h"
#include "pool/batch/pool_frame_delivery.h"
#include "pool/batch/pool_job.h"
#include "pool/batch/worker_starts.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/frame_file_handoff.h"
#include "pool/decode/output_discovery.h"
#include "pool/process/aerender_lookup.h"
#include "pool/process/process_monitor.h"
#include "pool/process/spawn_retry.h"
#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_volume.h"
#include "pool/runtime/project_snapshot.h"
#include "pool/schedule/adaptive_scheduler.h"
#include "pool/schedule/engine_memory_samples.h"
#include "pool/schedule/first_delivery.h"
#include "pool/schedule/measured_admission.h"
#include "pool/schedule/queued_range.h"
#include "pool/schedule/scheduler_step.h"
#include "pool/schedule/startup_context.h"

namespace vel {

using Instant = uint64_t;  // mono_ns
inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kNsPerSec = 1'000'000'000;

inline constexpr uint8_t kOutputPsd = 0;
inline constexpr uint8_t kOutputTga = 1;
inline constexpr uint8_t kOutputMemory = 2;

// The StartupContext's debug form, as PERF lines print it.
std::string debug_text(const StartupContext& context);


// An engine the prewarm started: our child in a process group of its own.
struct WarmEngine {
  WorkerChild child;
  int stdin_fd = -1, stdout_fd = -1, stderr_fd = -1;
};

// What the supervision copies out of a finished plan.
struct PlanSummary {
  uint64_t frames_ingested = 0;
  uint64_t useful_frames = 0;
};

// Armed in the one plan that owns a batch; moving a plan disarms the source,
// so the end of a batch (drop_pool_plan) runs exactly once.
struct PlanOwnership {
  bool armed = true;
  PlanOwnership() = default;
  PlanOwnership(PlanOwnership&& other) noexcept : armed(other.armed) { other.armed = false; }
  PlanOwnership& operator=(PlanOwnership&&) = delete;
};

// One running batch. Its end (dropping it) raises the stop flags, writes the
// "POOL" report and kills every worker still running, before the channels,
// the discovery worker and the job folder are let go.
struct PoolPlan {
  PoolPlan() = default;
  PoolPlan(PoolPlan&&) noexcept = default;
  // The plan assigned over ends its batch first.
  PoolPlan& operator=(PoolPlan&& other) noexcept;
  ~PoolPlan();

  Instant started_at = 0;
  std::vector<PoolJob> jobs;
  // Workers whose start runs off the main thread; each becomes a job, or
  // gives its range back, on a later supervision call.
  std::vector<StartInFlight> starting;
  std::deque<QueuedRange> queued_ranges;
  std::deque<DiscoveredFile> pending_frames;  // found by the discovery, not yet with the decoders
  StartupContext context;
  std::optional<double> predicted_secs;
  uint64_t expected_frames = 0;
  uint64_t first_delivery_limit_secs = 0;
  std::set<int64_t> frames_seen;
  uint8_t output_format = kOutputPsd;
  SchedulerTrial scheduler;
  PlanSummary summary;
  bool completed = false;  // the plan reached its completed phase
  uint64_t progress_a = 0, progress_b = 0;
  // Supervision state set back by reset_pool_plan.
  std::optional<Instant> pending_a, pending_b;
  uint64_t counter_a = 0, counter_b = 0;

  // What the launch hands the supervision.
  std::filesystem::path aerender_path;
  std::filesystem::path snapshot_path;
  std::string comp_name;
  SharedJobDir job_dir;
  uint32_t time_scale = 0;
  int64_t frame_step = 1;
  uint64_t target_workers = 0;
  uint64_t worker_slots = 0;
  uint64_t spawned_workers = 0;
  uint64_t ramp_slots_left = 0;
  Instant next_ramp_slot_at = 0;
  uint64_t next_range_index = 0;
  uint64_t silent_limit_secs = 0;
  uint32_t mfr_percent = 0;
  bool first_delivery_warned = false;
  FrameReceiver frames;                     // decoders and readers hand frames back here
  ChannelSender<DecodeJob> decode_jobs;     // file output: the decoders' job queue
  std::optional<DiscoveryHandle> discovery;  // file output
  std::shared_ptr<std::atomic<bool>> stop;         // the first stop flag: the batch's cancel flag
  std::shared_ptr<std::atomic<bool>> second_stop;
  std::shared_ptr<std::atomic<uint64_t>> shared_counter;  // written by the supervision
  std::optional<EngineMemoryProjection> projected_engine;  // bytes one more engine needs

  // The end report's measurements, filled while the batch runs.
  double setup_ms = 0.0;
  uint64_t file_ds = 1;
  uint64_t peak_active = 0;
  std::optional<double> first_ms;
  double read_decode_ms_sum = 0.0;
  uint64_t read_bytes = 0;
  std::optional<uint32_t> pixels;
  std::optional<double> first_discovered_ms;
  std::optional<double> first_decoded_ms;

  // The supervision's account of the batch. The frame channel above and
  // `stash` belong to the batch: a message of an ended batch never reaches
  // the next one.
  DeliveryLedger ledger;  // delivered, useful and cohort frames, tries, handed, null output
  std::optional<PoolFrameDelivery> stash;  // one message kept for the next call
  std::optional<Instant> last_scan_at;     // of the latest discovery report taken
  std::optional<Instant> last_exit_seen_at;
  std::vector<size_t> exits_to_examine;    // exited jobs whose missing frames wait for their output to drain
  DiscoveryTimes discovery_times;
  SpawnRetryPolicy spawn_retry;
  std::optional<LaunchRequest> worker_request;  // what further workers are started with
  uint64_t active = 0;
  bool measure_valid = true;

  PlanOwnership ownership;
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

struct PoolRuntime {
  std::optional<PoolPlan> plan;
  SchedulerTrial carried_scheduler;
  uint64_t snapshot_generation = 0;
  std::vector<WarmEngine> warm_engines;
  FirstDeliveryHistory first_delivery_history;
  std::vector<EndedClient> ended_clients;  // aerender clients of ours that ended, oldest first
  std::string batch_comp_name;
  std::optional<std::filesystem::path> snapshot_path;
  std::optional<SnapshotReady> snapshot_file;
  std::optional<DeliveryDescriptor> delivery_descriptor;
  std::optional<StartupContext> batch_identity;
  AerenderLookup aerender;
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
  // The last process listing, whether or not it gave a CPU share: a worker
  // that just started or ended leaves one listing without a share, and the
  // running trial does not end for that.
  std::optional<Instant> cpu_listing_at;
  std::optional<Instant> handoff_deadline;
  std::optional<Instant> handoff_companion;
  std::optional<Instant> launch_cooldown_until;
  // Batches in a row whose launch started no worker at all (file output).
  uint32_t failed_launches = 0;
  LastPlanProgress last_plan_progress;

  uint64_t file_downsample = 1;
  uint64_t comp_identity = 0;
  uint64_t group_rss_peak = 0;
  uint64_t worker_bytes_estimate = 0;
  uint64_t total_rss_peak = 0;
  uint64_t concurrent_groups = 0;
  // The memory tick's sampler: its channel while one runs, its last start,
  // the CPU part of the last accepted sample and the last warm-window sweep.
  std::optional<ChannelReceiver<PoolMemorySample>> sampler;
  std::optional<Instant> sampler_started_at;
  std::optional<PoolMemorySample> memory_sample;
  std::optional<Instant> last_sweep_at;
  SchedulerHistory engine_samples;
  std::optional<Instant> last_prewarm_at;
  double pool_cpu_percent = 0.0;   // the pool's processes, of the whole machine
  double total_cpu_percent = 0.0;  // the whole machine
  bool pool_active = false;  // copied from the preview by the pool pump
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
  bool memory_fallback_logged = false;  // the INFO line of a memory output fallen back to PSD
  // The room on the pool folder's volume: no worker is sent while it is
  // short, and the host renders what the pool would have.
  PoolVolumeWatch volume;

  std::optional<int64_t> last_reorder_playhead;
  // Read and written by the batch supervision.
  std::optional<AdmissionLogKey> admission_logged;  // the last POOL_ADMISSION pair
  std::optional<AdmissionGrant> admission_grant;
  std::optional<uint64_t> scheduler_ds;  // max(file_ds, output_ds) of the last adaptive call
  std::optional<SchedulerLogKey> scheduler_logged;  // the last POOL_SCHEDULER outcome triple
  std::optional<double> fastest_first_delivery_secs;
  double drain_ms_total = 0.0;
  bool pump_paused = false;     // set by the pool pump each tick: no launch, no trial
  bool quick_chaining = false;  // set by the pool pump each tick
  std::optional<Instant> last_idle_tick;  // measures each tick for the ramp window
};

// The runtime as PreviewState's constructor leaves it: pool off, the given
// requested and selected output, reset_pool_plan applied.
PoolRuntime new_pool_runtime(uint8_t requested_output);

// Frame count of an inclusive range; an end below the start counts 1.
uint64_t range_frame_count(int64_t start, int64_t end);

}  // namespace vel
