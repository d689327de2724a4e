// Turning planned frame ranges into a running batch: the guards, the
// batch's StartupContext and job folder, how many workers and how many at
// once, the first workers, the decoder threads and output discovery of file
// output, the watchdog limits, and the new PoolPlan. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "pool/process/worker_launch.h"
#include "pool/runtime/pool_runtime.h"
#include "pool/schedule/frame_range.h"
#include "pool/schedule/scheduler_assessment.h"

namespace vel {

// Launches in a row that start no worker before the pool is off for the
// session, and the wait after each of them.
inline constexpr uint32_t kFailedLaunchLimit = 3;
inline constexpr uint64_t kFailedLaunchCooldownNs = 3'000'000'000;

// W, the workers started in the launch call, and the MFR share each gets.
// With measured admission, `admission` says why the launch started as many
// engines as it did (Admit: more than one; Headroom: the memory holds no
// second one; Pressure: under 4 GiB available or the CPU saturated; Missing:
// the available memory or an engine's need unknown; Capacity: one is all the
// batch may run).
struct BatchWorkers {
  uint64_t target = 1;
  uint64_t immediate = 1;
  uint32_t mfr_percent = 80;
  SchedulerOutcome admission = SchedulerOutcome::Capacity;
  bool operator==(const BatchWorkers&) const = default;
};

struct BatchWorkerInputs {
  bool measured_admission = true;  // VELOCINTA_MEASURED_ADMISSION
  bool pool_ramp = true;           // VELOCINTA_POOL_RAMP
  uint8_t selected_output = kOutputPsd;
  bool comp_3d = false;
  std::optional<uint32_t> hardware_threads;
  uint64_t pool_worker_count = 1;           // pool_worker_count()
  uint64_t effective_worker_count = 1;      // pool_effective_worker_count()
  uint64_t range_count = 0;
  // Measured admission at launch: the machine's available memory read now
  // (none when unreadable), the memory each engine is counted at, and
  // whether a fresh CPU sample shows the machine saturated.
  std::optional<uint64_t> available_bytes;
  uint64_t engine_need_bytes = 0;
  bool cpu_saturated = false;
  // The scheduler's ceiling carried from batches of this configuration: a
  // level that did not pay is not started at once either.
  std::optional<uint64_t> level_ceiling;
};
// With measured admission a batch starts one engine, and at once as many
// more of its W, one per range, as the available memory holds beside the
// 4 GiB reserve (available ≥ 4 GiB + n × engine need for n engines), unless
// the CPU is saturated; each gets ⌊80 / n⌋ % of MFR, so the engines admitted
// at launch share the budget instead of the first holding all of it.
BatchWorkers batch_worker_counts(const BatchWorkerInputs& in);

// The memory one engine is counted at when a batch starts: the engine budget
// of the preview size, or the measured peak engine plus a quarter when that
// is larger.
uint64_t launch_engine_need_bytes(uint64_t budget_bytes, uint64_t measured_peak_bytes);

// Sum over the ranges of (end − start, at least 0) + 1, saturating.
uint64_t expected_frame_count(std::span<const FrameRange> ranges);

// The watchdogs in whole seconds from the predicted first-delivery time p:
// max(⌊1.5 p⌋, 45) and max(⌊4 p⌋, 240). A prediction that is not a finite
// number at or above 0 counts as none (the defaults); a huge one saturates.
struct WatchdogLimits {
  uint64_t first_delivery_secs = 45;
  uint64_t silent_secs = 240;
  bool operator==(const WatchdogLimits&) const = default;
};
WatchdogLimits watchdog_limits(std::optional<double> predicted_secs);

// What the launch reads besides the runtime, and the roads it starts work
// on; the plug-in passes the real ones, tests their stand-ins.
struct LaunchWorld {
  Instant now = 0;
  uint64_t async_renders_in_flight = 0;
  bool memory_token_held = false;
  bool measured_admission = true;
  bool pool_ramp = true;
  std::optional<uint32_t> hardware_threads;
  std::function<std::optional<uint64_t>()> available_memory;  // empty: unknown
  uint64_t engine_budget_bytes = 0;                             // of the current preview size
  std::function<uint64_t()> pool_worker_count;
  std::function<uint64_t()> effective_worker_count;  // pool_effective_worker_count of the runtime
  std::function<const std::optional<std::filesystem::path>&(AerenderLookup&)> resolve_aerender;
  std::function<std::optional<std::filesystem::path>()> pool_directory;
  // What becomes of the batch's job folder once its last holder lets go:
  // the plug-in hands it to the deferred file work; empty leaves it to the
  // next load's purge.
  JobDirGuard::Disposer dispose_job_dir;
  std::function<std::optional<PoolJob>(const LaunchRequest&)> spawn_worker;
  // Where spawn_worker runs: the launch thread in the plug-in; empty runs it
  // in place, so that its outcome is known when the launch returns.
  OffMainRunner run_off_main;
  std::function<size_t(size_t, const DecodeWorkerContext&)> start_decoders;
  std::function<uint32_t(std::optional<FrameDimensions>, uint64_t)> decoder_count;
  std::function<DiscoveryHandle(std::filesystem::path, SharedJobDir, WorkerOutputFormat)> start_discovery;
};
// The process's clock, switches, machine, aerender and threads.
LaunchWorld live_launch_world(const PoolRuntime& rt, uint64_t async_renders_in_flight);

// Starts a batch of `ranges` (inclusive frame ranges, already planned and
// ordered). Silent and without effect when a guard refuses: no ranges, the
// pool off or held, a plan in place, the memory token held, the cooldown.
// With a plan in place afterwards at least one worker runs or is starting
// off the main thread (and in file output at least one decoder runs);
// without one, nothing this call started runs.
void launch_pool_batch(PoolRuntime& rt, const std::string& comp_name, std::span<const FrameRange> ranges,
                       uint32_t time_scale, uint64_t frame_step, const LaunchWorld& world);

// Takes the outcome of the starts `plan` waits for (the launch's first
// workers, or the supervision's next one): a worker that started becomes a
// job; a range whose worker did not start goes back to the front of the
// queue or is dropped, as the spawn retry says. Answers whether one failed.
bool take_started_workers(PoolPlan& plan, Instant now);

// Takes the starts `plan` waits for that have finished, in their order: a
// worker that started becomes a job launched at `now` (the supervision's
// watchdogs read that clock) and `started` is told; the start of one that
// did not is handed to `failed`, which answers whether to take the rest.
void take_finished_starts(PoolPlan& plan, Instant now, const std::function<void()>& started,
                          const std::function<bool(const StartInFlight&)>& failed);

// A batch none of whose workers started: memory output gives way to PSD for
// the batches to come, a file output counts toward its cooldown; the plan
// is left without a report and its folder goes. The caller drops the plan.
void give_up_batch_start(PoolRuntime& rt, PoolPlan& plan, Instant now);

}  // namespace vel
