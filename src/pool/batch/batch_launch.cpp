#include "pool/batch/batch_launch.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "core/log.h"
#include "core/machine.h"
#include "core/options.h"
#include "core/saturating.h"
#include "core/switches.h"
#include "cache/memory_pressure.h"
#include "pool/decode/memory_output_reader.h"
#include "pool/process/launch_thread.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_perf_records.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/schedule/measured_admission.h"
#include "pool/schedule/scheduler_step.h"
#include "pool/schedule/worker_capacity.h"

namespace vel {

namespace {

constexpr uint64_t kMaxWorkers = 24;
constexpr uint32_t kMfrShare = 80;
constexpr uint64_t kRampSlotNs = 750 * kNsPerMs;
constexpr size_t kDecodeJobCapacity = 256;

// ⌊factor × p⌋ for a finite p ≥ 0, saturating at 2^64 − 1.
uint64_t saturating_floor(double factor, double p) {
  const double v = std::floor(factor * p);
  if (!(v < 18446744073709551616.0)) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

PoolOutputKind output_kind(uint8_t selected) {
  switch (selected) {
    case kOutputPsd:
      return PoolOutputKind::Psd;
    case kOutputTga:
      return PoolOutputKind::Tga;
    default:
      return PoolOutputKind::Memory;
  }
}

std::optional<FrameDimensions> dimensions_of(const PoolRuntime& rt) {
  if (!rt.comp_dimensions) return std::nullopt;
  return FrameDimensions{rt.comp_dimensions->first, rt.comp_dimensions->second};
}

// Presence compared on both sides, the sizes only where both are known.
bool same_context(const StartupContext& a, const StartupContext& b) {
  if (a.dimensions.has_value() != b.dimensions.has_value()) return false;
  if (a.dimensions && *a.dimensions != *b.dimensions) return false;
  return a.identity == b.identity && a.file_ds == b.file_ds && a.comp_3d == b.comp_3d &&
         a.output_format == b.output_format;
}

// The reader of a memory worker. The job's first flag is the reader's
// `abandon`, raised when the worker is gone or given up: the reader still
// takes what the worker published and ends at its first empty poll, so the
// frames of a worker that exited cleanly are not lost. The batch's stop flag
// is the reader's `stop`: the batch's end ends it at once. The other two
// flags are its completion and its exit.
MemoryReaderBody memory_reader_body(FrameSender frames, std::chrono::steady_clock::time_point batch_start,
                                    SharedJobDir job_dir, std::shared_ptr<std::atomic<bool>> batch_stop,
                                    std::shared_ptr<std::atomic<uint64_t>> decimation) {
  return [frames, batch_start, job_dir, batch_stop, decimation](MemoryReaderStart& start) {
    auto flags = start.flags;
    MemoryReaderContext context(frames, start.output.hand_over(), batch_start, job_dir, batch_stop,
                                std::shared_ptr<std::atomic<bool>>(flags, &(*flags)[1]),
                                std::shared_ptr<std::atomic<bool>>(flags, &(*flags)[0]), decimation,
                                std::shared_ptr<std::atomic<bool>>(flags, &(*flags)[2]), start.worker_index);
    memory_output_worker_loop(std::move(context));
  };
}

// A launch in file output that started no worker: the cause (a renderer
// that cannot be executed, a process limit) is still there on the next
// tick, so the next launch waits out a cooldown, and after a few such
// launches in a row the pool stops trying for the session.
void note_failed_launch(PoolRuntime& rt, Instant now, const std::filesystem::path& aerender) {
  if (rt.failed_launches < UINT32_MAX) ++rt.failed_launches;
  rt.launch_cooldown_until = sat_add(now, kFailedLaunchCooldownNs);
  if (rt.failed_launches >= kFailedLaunchLimit) {
    disable_pool_for_session(rt, "aerender ne démarre pas : " + aerender.string() + " (" +
                                     std::to_string(rt.failed_launches) + " lots sans aucun worker)");
  }
}

// Engines started at once out of `wanted`, and why no more.
uint64_t admitted_at_launch(const BatchWorkerInputs& in, uint64_t wanted, SchedulerOutcome& why) {
  if (wanted < 2) {
    why = SchedulerOutcome::Capacity;
    return 1;
  }
  if (!in.available_bytes || in.engine_need_bytes == 0) {
    why = SchedulerOutcome::Missing;
    return 1;
  }
  if (in.cpu_saturated || *in.available_bytes < kAdmissionReserveBytes) {
    why = SchedulerOutcome::Pressure;
    return 1;
  }
  const uint64_t room = (*in.available_bytes - kAdmissionReserveBytes) / in.engine_need_bytes;
  const uint64_t n = std::clamp<uint64_t>(room, 1, wanted);
  why = n >= 2 ? SchedulerOutcome::Admit : SchedulerOutcome::Headroom;
  return n;
}

}  // namespace

uint64_t launch_engine_need_bytes(uint64_t budget_bytes, uint64_t measured_peak_bytes) {
  return std::max(budget_bytes, sat_add(measured_peak_bytes, measured_peak_bytes / 4));
}

BatchWorkers batch_worker_counts(const BatchWorkerInputs& in) {
  BatchWorkers w;
  if (in.measured_admission) {
    if (in.selected_output >= kOutputMemory) {
      w.target = 1;
    } else {
      const uint64_t l = in.comp_3d ? 1 : kMaxWorkers;
      const uint64_t c = in.hardware_threads ? std::max<uint64_t>(uint64_t{*in.hardware_threads} * 80 / 100, 1) : 1;
      const uint64_t k = in.pool_worker_count == 0 ? 1 : std::min(in.pool_worker_count, kMaxWorkers);
      w.target = std::max<uint64_t>(std::min({l, c, k}), 1);
    }
    uint64_t wanted = std::min(w.target, std::max<uint64_t>(in.range_count, 1));
    if (in.level_ceiling) wanted = std::min(wanted, std::max<uint64_t>(*in.level_ceiling, 2) - 1);
    w.immediate = admitted_at_launch(in, wanted, w.admission);
    w.mfr_percent = static_cast<uint32_t>(std::max<uint64_t>(kMfrShare / w.immediate, 1));
    return w;
  } else {
    w.target = std::max<uint64_t>(std::min(in.range_count, in.effective_worker_count), 1);
    w.mfr_percent = static_cast<uint32_t>(std::max<uint64_t>(kMfrShare / w.target, 1));
  }
  w.immediate = (in.measured_admission || in.pool_ramp) ? 1 : w.target;
  return w;
}

uint64_t expected_frame_count(std::span<const FrameRange> ranges) {
  uint64_t total = 0;
  for (const FrameRange& r : ranges) {
    uint64_t n = 1;
    if (r.end > r.start) {
      const uint64_t diff = static_cast<uint64_t>(r.end) - static_cast<uint64_t>(r.start);
      n = diff == std::numeric_limits<uint64_t>::max() ? diff : diff + 1;
    }
    total = total > std::numeric_limits<uint64_t>::max() - n ? std::numeric_limits<uint64_t>::max() : total + n;
  }
  return total;
}

WatchdogLimits watchdog_limits(std::optional<double> predicted_secs) {
  WatchdogLimits limits;
  if (!predicted_secs || !std::isfinite(*predicted_secs) || *predicted_secs < 0.0) return limits;
  limits.first_delivery_secs = std::max<uint64_t>(saturating_floor(1.5, *predicted_secs), 45);
  limits.silent_secs = std::max<uint64_t>(saturating_floor(4.0, *predicted_secs), 240);
  return limits;
}

LaunchWorld live_launch_world(const PoolRuntime& rt, uint64_t async_renders_in_flight) {
  LaunchWorld w;
  w.now = mono_ns();
  w.async_renders_in_flight = async_renders_in_flight;
  w.memory_token_held = memory_output_token_held();
  w.measured_admission = measured_admission_enabled();
  w.pool_ramp = pool_ramp_enabled();
  w.hardware_threads = memory_and_cpu_count().cpu_count;
  w.available_memory = [] { return available_memory_bytes(); };
  w.engine_budget_bytes = engine_budget_bytes(panel_options().quality.load(std::memory_order_relaxed));
  w.pool_worker_count = [] { return pool_worker_count(); };
  w.effective_worker_count = [&rt] {
    WorkerCountInputs in;
    in.worker_count = pool_worker_count();
    in.physical_memory = physical_memory_bytes();
    in.pressure_percent = memory_pressure_percent();
    in.measured_admission = measured_admission_enabled();
    return pool_effective_worker_count(rt, in);
  };
  w.resolve_aerender = [](AerenderLookup& lookup) -> const std::optional<std::filesystem::path>& {
    return resolve_aerender(lookup);
  };
  w.pool_directory = [] { return pool_directory_path(); };
  w.spawn_worker = [](const LaunchRequest& r) { return spawn_pool_worker(r); };
  w.run_off_main = [](std::function<void()> task) { run_on_launch_thread(std::move(task)); };
  w.start_decoders = [](size_t n, const DecodeWorkerContext& c) { return start_decode_workers(n, c); };
  w.decoder_count = [](std::optional<FrameDimensions> d, uint64_t ds) { return decode_thread_count(d, ds); };
  w.start_discovery = [](std::filesystem::path dir, SharedJobDir guard, WorkerOutputFormat f) {
    return spawn_output_discovery(std::move(dir), std::move(guard), f);
  };
  return w;
}

namespace {

// Step 1: the gates let a batch start, and there is a renderer to start.
std::optional<std::filesystem::path> launchable_aerender(PoolRuntime& rt, const LaunchWorld& world) {
  const GateWorld gates{world.now, world.async_renders_in_flight, world.memory_token_held ? 1u : 0u};
  if (!pool_next_batch_ready(rt, gates)) return std::nullopt;
  const std::optional<std::filesystem::path>& aerender = world.resolve_aerender(rt.aerender);
  if (!aerender) {
    disable_pool_for_session(rt, "aerender introuvable (installer AE, ou VELOCINTA_AERENDER=/chemin)");
    return std::nullopt;
  }
  return *aerender;
}

// Step 2: the configuration the batch renders for. What was learnt about
// the previous configuration's batches no longer holds once it changes.
StartupContext batch_context(PoolRuntime& rt) {
  StartupContext context{rt.comp_identity, rt.file_downsample, dimensions_of(rt), rt.comp_is_3d, rt.selected_output};
  if (!rt.batch_identity || !same_context(*rt.batch_identity, context)) {
    reset_pool_plan(rt);
    rt.batch_identity = context;
  }
  return context;
}

// Step 3: the batch's own folder in the pool directory.
std::optional<SharedJobDir> create_batch_folder(const LaunchWorld& world) {
  const std::optional<std::filesystem::path> pool_dir = world.pool_directory();
  if (!pool_dir) {
    log_line("ERROR", "pool: creation of output directory failed: no temporary directory");
    return std::nullopt;
  }
  auto job_dir = create_job_dir(*pool_dir, world.dispose_job_dir);
  if (!job_dir) {
    log_line("ERROR", "pool: creation of output directory failed: " + job_dir.error());
    return std::nullopt;
  }
  return job_dir.value();
}

// Step 4: what decides how many engines start now and how many the batch
// may reach.
BatchWorkerInputs worker_count_inputs(const PoolRuntime& rt, size_t range_count, const LaunchWorld& world) {
  BatchWorkerInputs in;
  in.measured_admission = world.measured_admission;
  in.pool_ramp = world.pool_ramp;
  in.selected_output = rt.selected_output;
  in.comp_3d = rt.comp_is_3d;
  in.hardware_threads = world.hardware_threads;
  in.range_count = range_count;
  if (world.measured_admission) {
    in.pool_worker_count = world.pool_worker_count();
    in.available_bytes = world.available_memory ? world.available_memory() : std::nullopt;
    in.engine_need_bytes = launch_engine_need_bytes(world.engine_budget_bytes, rt.engine_samples.peak_engine_bytes);
    in.cpu_saturated = sample_fresh(rt.cpu_sample_at, world.now) && rt.total_cpu_percent >= kCpuPressurePercent;
    in.level_ceiling = rt.carried_scheduler.ceiling;
  } else {
    in.effective_worker_count = world.effective_worker_count();
  }
  return in;
}

struct BatchSetup {
  std::string comp_name;
  std::filesystem::path aerender;
  std::filesystem::path snapshot;
  StartupContext context;
  SharedJobDir job_dir;
  uint32_t time_scale = 0;
  uint64_t frame_step = 0;
  Instant launched_at = 0;
};

// Step 5: the plan of the batch, every range still queued.
PoolPlan plan_for_ranges(const PoolRuntime& rt, const BatchSetup& setup, const BatchWorkers& workers,
                         std::span<const FrameRange> ranges, ChannelReceiver<PoolFrameDelivery> frames) {
  PoolPlan plan;
  plan.stop = std::make_shared<std::atomic<bool>>(false);
  plan.second_stop = std::make_shared<std::atomic<bool>>(false);
  plan.shared_counter = std::make_shared<std::atomic<uint64_t>>(1);
  plan.frames = std::move(frames);
  plan.started_at = setup.launched_at;
  plan.context = setup.context;
  plan.aerender_path = setup.aerender;
  plan.snapshot_path = setup.snapshot;
  plan.comp_name = setup.comp_name;
  plan.job_dir = setup.job_dir;
  plan.time_scale = setup.time_scale;
  plan.frame_step = static_cast<int64_t>(std::min<uint64_t>(setup.frame_step, std::numeric_limits<int64_t>::max()));
  plan.output_format = rt.selected_output;
  plan.file_ds = rt.file_downsample;
  plan.mfr_percent = workers.mfr_percent;
  plan.expected_frames = expected_frame_count(ranges);
  for (const FrameRange& r : ranges) plan.queued_ranges.push_back({r.start, r.end});
  return plan;
}

// Step 6: the request every worker of the batch starts from, its range
// filled in per worker. A memory worker's request carries its reader.
LaunchRequest worker_request_for(const PoolRuntime& rt, const PoolPlan& plan, const FrameSender& frame_tx,
                                 std::chrono::steady_clock::time_point batch_start) {
  LaunchRequest request;
  request.aerender = plan.aerender_path;
  request.snapshot_path = plan.snapshot_path.string();
  request.comp_name = plan.comp_name;
  request.downsample = rt.file_downsample;
  request.mfr_percent = plan.mfr_percent;
  request.job_dir = plan.job_dir;
  request.extreme = rt.templates_ready == 1;
  request.kind = output_kind(rt.selected_output);
  request.frame_step = plan.frame_step;
  request.time_scale = plan.time_scale;
  if (rt.comp_dimensions) {
    request.comp_width = rt.comp_dimensions->first;
    request.comp_height = rt.comp_dimensions->second;
  }
  if (rt.selected_output >= kOutputMemory) {
    request.reader_body = memory_reader_body(frame_tx, batch_start, plan.job_dir, plan.stop, plan.shared_counter);
    request.reader_stop = plan.stop;
  }
  return request;
}

// Step 7: the engines admitted at launch, one queued range each, started
// off the main thread. A spawn that fails fails again at once (the renderer
// moved or lost its execute bits): once one is known to have failed, no
// further one starts. With no worker started the launch gives up; beside
// started ones the range waits at the front of the queue for the
// supervision's spaced retries.
void start_first_workers(PoolPlan& plan, LaunchRequest& request, uint64_t count, const LaunchWorld& world) {
  while (plan.jobs.size() + plan.starting.size() < count && !plan.queued_ranges.empty()) {
    const QueuedRange range = plan.queued_ranges.front();
    plan.queued_ranges.pop_front();
    request.worker_index = static_cast<uint32_t>(plan.next_range_index++);
    request.first_frame = range.start;
    request.last_frame = range.end;
    plan.starting.push_back(
        {start_worker(world.spawn_worker, request, world.run_off_main), range, request.mfr_percent, request.worker_index});
    if (take_started_workers(plan, world.now)) return;
  }
}

// Step 7, when no worker started: memory output gives way to PSD for the
// batches to come; a file output counts the failure toward its cooldown.
void give_up_launch(PoolRuntime& rt, PoolPlan& plan, Instant now) {
  if (rt.selected_output >= kOutputMemory) {
    rt.selected_output = kOutputPsd;
    rt.delivery_descriptor.reset();
    reset_pool_plan(rt);
    log_line("ERROR", "pool: memory output unavailable — PSD selected for a future batch");
  } else {
    note_failed_launch(rt, now, plan.aerender_path);
  }
  plan.ownership.armed = false;  // nothing started: no batch to end, no report
  // Nothing ran in the folder: it goes now, not with the batches to come.
  plan.job_dir->removal()();
}

// Step 8, file output: the decoder threads and the output discovery that
// feeds them. False when no decoder could start (the workers are killed).
bool start_file_intake(PoolRuntime& rt, PoolPlan& plan, const FrameSender& frame_tx,
                       ChannelSender<DecodeJob> job_tx, ChannelReceiver<DecodeJob> job_rx,
                       std::chrono::steady_clock::time_point batch_start, uint32_t decoders_wanted,
                       const LaunchWorld& world) {
  DecodeWorkerContext decode;
  decode.frames = frame_tx;
  decode.batch_start = batch_start;
  decode.job_dir = plan.job_dir;
  decode.stop = plan.stop;
  decode.jobs = std::move(job_rx);
  decode.keep_frame_files = rt.decode_flag;
  if (world.start_decoders(decoders_wanted, decode) == 0) {
    for (StartInFlight& started : plan.starting) started.start->abandon();
    plan.starting.clear();
    kill_unfinished_jobs(plan);
    plan.ownership.armed = false;  // never a plan: no report
    disable_pool_for_session(rt, "no decoder thread available");
    return false;
  }
  plan.decode_jobs = std::move(job_tx);
  plan.discovery.emplace(world.start_discovery(plan.job_dir->path(), plan.job_dir,
                                               static_cast<WorkerOutputFormat>(rt.selected_output)));
  return true;
}

// Step 9: the supervision's starting point: watchdogs from the predicted
// duration, the recent-delivery window, the ramp or admission slots and
// the scheduler level the launch admitted.
void arm_supervision(PoolRuntime& rt, PoolPlan& plan, LaunchRequest request, const BatchWorkers& workers,
                     std::optional<double> predicted, uint64_t setup_from, const LaunchWorld& world) {
  plan.pending_a.reset();
  plan.pending_b.reset();
  plan.counter_a = 0;
  plan.counter_b = 0;
  // A worker still starting counts as started, as it will on the supervision's
  // next calls.
  const uint64_t started = plan.jobs.size() + plan.starting.size();
  plan.ramp_slots_left = world.measured_admission ? 0 : workers.target - std::min(workers.target, started);
  const WatchdogLimits limits = watchdog_limits(predicted);
  plan.first_delivery_limit_secs = limits.first_delivery_secs;
  plan.silent_limit_secs = limits.silent_secs;
  plan.next_ramp_slot_at = world.now + kRampSlotNs;
  const uint64_t setup_to = mono_ns();
  plan.setup_ms = static_cast<double>(setup_to >= setup_from ? setup_to - setup_from : 0) / 1e6;
  plan.target_workers = workers.target;
  plan.spawned_workers = started;
  plan.active = started;
  plan.peak_active = started;
  // Further workers of the batch start as the first did; in file output the
  // request holds no sender of the frame channel, which then ends with the
  // decoders.
  plan.worker_request = std::move(request);
  plan.worker_slots = world.measured_admission ? started : workers.target;
  plan.predicted_secs = predicted;
  plan.scheduler = rt.carried_scheduler;
  reset_scheduler_trial(rt.carried_scheduler);
  // The engines admitted at launch are the level the scheduler starts from.
  plan.scheduler.level = std::max<uint64_t>(plan.scheduler.level, started);
  plan.first_delivery_warned = false;
}

// Step 10: the launch's admission, as a POOL_ADMISSION record when its
// outcome or target changed.
void record_launch_admission(PoolRuntime& rt, const PoolPlan& plan, const BatchWorkerInputs& in,
                             const BatchWorkers& workers) {
  SchedulerAssessment verdict;
  verdict.outcome = workers.admission;
  verdict.target = plan.jobs.size() + plan.starting.size();
  verdict.available_bytes = in.available_bytes.value_or(0);
  verdict.engine_need_bytes = in.engine_need_bytes;
  verdict.peak_engine_bytes = rt.engine_samples.peak_engine_bytes;
  if (admission_record_due(rt.admission_logged, verdict) && perf_enabled()) {
    AdmissionContext admission;
    admission.file_ds = plan.file_ds;
    admission.output_ds = plan.file_ds;
    perf_log(pool_admission_record(verdict, admission));
  }
}

}  // namespace

void take_finished_starts(PoolPlan& plan, Instant now, const std::function<void()>& started,
                          const std::function<bool(const StartInFlight&)>& failed) {
  for (auto it = plan.starting.begin(); it != plan.starting.end();) {
    std::optional<PoolJob> job;
    const WorkerStart::Outcome outcome = it->start->take(job);
    if (outcome == WorkerStart::Outcome::Pending) {
      ++it;
      continue;
    }
    const StartInFlight start = std::move(*it);
    it = plan.starting.erase(it);
    if (outcome == WorkerStart::Outcome::Failed) {
      if (!failed(start)) return;
      continue;
    }
    job->replay = start.range.replay;
    job->launched_ns = now;
    job->mfr_percent = start.mfr_percent;
    plan.jobs.push_back(std::move(*job));
    plan.spawn_retry.succeeded();
    started();
  }
}

bool take_started_workers(PoolPlan& plan, Instant now) {
  bool failed = false;
  take_finished_starts(plan, now, [] {}, [&](const StartInFlight& start) {
    failed = true;
    const QueuedRange& range = start.range;
    if (plan.spawn_retry.failed(now, !plan.jobs.empty()) == SpawnFailureAction::Retry) {
      plan.queued_ranges.push_front(range);
    } else if (!range.replay) {
      // Its frames are left to a later batch.
      const FrameRange dropped[] = {{range.start, range.end}};
      const uint64_t n = expected_frame_count(dropped);
      plan.expected_frames = plan.expected_frames > n ? plan.expected_frames - n : 0;
    }
    return true;
  });
  return failed;
}

void give_up_batch_start(PoolRuntime& rt, PoolPlan& plan, Instant now) { give_up_launch(rt, plan, now); }

void launch_pool_batch(PoolRuntime& rt, const std::string& comp_name, std::span<const FrameRange> ranges,
                       uint32_t time_scale, uint64_t frame_step, const LaunchWorld& world) {
  if (ranges.empty()) return;
  const std::optional<std::filesystem::path> aerender = launchable_aerender(rt, world);
  if (!aerender) return;
  rt.batch_comp_name = comp_name;
  BatchSetup setup{comp_name, *aerender, *rt.snapshot_path, batch_context(rt), {}, time_scale, frame_step, world.now};
  const std::optional<double> predicted = predicted_batch_secs(rt.first_delivery_history, setup.context);
  const uint64_t setup_from = mono_ns();
  const auto batch_start = std::chrono::steady_clock::now();
  rt.summary = PlanSummary{};
  rt.last_plan_progress = LastPlanProgress{};
  std::optional<SharedJobDir> job_dir = create_batch_folder(world);
  if (!job_dir) return;
  setup.job_dir = std::move(*job_dir);

  const BatchWorkerInputs counts_in = worker_count_inputs(rt, ranges.size(), world);
  const BatchWorkers workers = batch_worker_counts(counts_in);
  const bool file_output = rt.selected_output < kOutputMemory;
  const uint32_t decoders_wanted = file_output ? world.decoder_count(setup.context.dimensions, rt.file_downsample) : 0;
  auto [frame_tx, frame_rx] = make_bounded_channel<PoolFrameDelivery>(std::max<size_t>(2 * decoders_wanted, 4));
  auto [job_tx, job_rx] = make_bounded_channel<DecodeJob>(kDecodeJobCapacity);
  PoolPlan plan = plan_for_ranges(rt, setup, workers, ranges, std::move(frame_rx));
  LaunchRequest request = worker_request_for(rt, plan, frame_tx, batch_start);

  start_first_workers(plan, request, workers.immediate, world);
  if (plan.jobs.empty() && plan.starting.empty()) return give_up_launch(rt, plan, world.now);
  if (!plan.jobs.empty()) rt.failed_launches = 0;
  if (file_output && !start_file_intake(rt, plan, frame_tx, std::move(job_tx), std::move(job_rx), batch_start,
                                        decoders_wanted, world)) {
    return;
  }
  arm_supervision(rt, plan, std::move(request), workers, predicted, setup_from, world);
  if (world.measured_admission) record_launch_admission(rt, plan, counts_in, workers);
  rt.plan.reset();
  rt.plan.emplace(std::move(plan));
}

}  // namespace vel
