#include "pool/batch/batch_supervision.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "cache/frame_cache.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/saturating.h"
#include "core/switches.h"
#include "pool/batch/batch_close.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/frame_ownership.h"
#include "pool/batch/job_watch.h"
#include "pool/batch/supervision_call.h"
#include "pool/decode/discovery_exchange.h"
#include "pool/decode/requested_size.h"
#include "pool/process/hung_workers.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_perf_records.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/runtime/rs_templates.h"
#include "pool/schedule/launch_preparation.h"
#include "pool/schedule/missing_runs.h"
#include "pool/schedule/worker_capacity.h"

namespace vel {

namespace {

double ms_between(Instant from, Instant to) { return to > from ? static_cast<double>(to - from) / 1e6 : 0.0; }

// PSD for later batches: a transport that fell short is given up for the
// format every engine writes. The plan is planned again for it.
void choose_psd(PoolRuntime& rt) {
  if (rt.selected_output == kOutputPsd) return;
  rt.selected_output = kOutputPsd;
  reset_pool_plan(rt);
}

// Takes the batch out and ends it: every worker still running is killed
// with its engines and its reader abandoned, the stop flags rise, and the
// batch's channel and stash go with it. Its process groups are gone, so
// their memory peaks end with it: the next batch measures its own (at
// another downsample or size, perhaps), while the per-worker estimate
// that sizes the pool carries over.
void end_batch(PoolRuntime& rt, Instant now) {
  (void)take_pool_plan(rt, now);
  reset_group_rss_peak(rt);
}

bool silent_watchdog(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (!batch_silent_too_long(plan.started_at, c.now, plan.silent_limit_secs, plan.ledger.delivered,
                             plan.ledger.null_frames.size()))
    return false;
  const bool memory = c.memory_output();
  log_line("ERROR", silent_batch_killed_text(plan.silent_limit_secs, plan.expected_frames));
  end_batch(c.rt, c.now);
  if (memory) {
    choose_psd(c.rt);
    log_line("ERROR", "pool: memory output stalled — PSD selected for a future batch");
  }
  return true;
}

void publish_decimation(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (c.adaptive) {
    const uint64_t combined = std::max(plan.file_ds, c.output_ds);
    if (c.rt.scheduler_ds != combined) {
      c.rt.scheduler_ds = combined;
      reset_scheduler_state(plan.scheduler, plan.scheduler.next_trial_at_ns, c.rt.engine_samples, c.now);
    }
  }
  // Only the supervision writes the factor: an unchanged one needs no store.
  if (plan.shared_counter) {
    const uint64_t factor = decimation_factor(c.output_ds, plan.file_ds);
    if (plan.shared_counter->load(std::memory_order_relaxed) != factor) plan.shared_counter->store(factor);
  }
}

// The frames whose files the next scan should not wake the host for: those
// with the decoders, and those whose next try is not due.
std::vector<FrameWait> frame_waits(const DeliveryLedger& ledger) {
  std::vector<FrameWait> waits;
  ledger.tries.append_waits(waits);
  for (int64_t frame : ledger.handed) waits.push_back(FrameWait{frame, kNeverDue});
  return waits;
}

// Step 5: the discovery's report becomes the pending files, and up to 32
// of them go to the decoders; one scan request stays in flight.
void hand_over_frame_files(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (!plan.discovery) return;
  DiscoveryHandle& discovery = *plan.discovery;
  if (plan.pending_frames.empty()) {
    if (std::optional<DiscoveryReport> report = try_recv_discovery(discovery)) {
      // The scan's own start, on the supervision's clock: a scan that began
      // before an exit was seen does not count as after it.
      const auto age = std::chrono::steady_clock::now() - report->scan_started;
      const uint64_t age_ns = static_cast<uint64_t>(std::max<int64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(age).count(), 0));
      plan.last_scan_at = c.now > age_ns ? c.now - age_ns : 0;
      if (!plan.first_discovered_ms && !report->files.empty())
        plan.first_discovered_ms = ms_between(plan.started_at, c.now);
      std::set<int64_t> found;
      for (DiscoveredFile& f : report->files) {
        found.insert(f.frame);
        plan.pending_frames.push_back(std::move(f));
      }
      plan.ledger.tries.note_files_found(found);
    }
  }
  const uint64_t decimation = plan.shared_counter ? plan.shared_counter->load() : 1;
  hand_frame_files(
      plan.pending_frames, plan.ledger, c.time(), decimation,
      [&plan](std::optional<uint64_t> worker, int64_t frame) {
        return worker_owns_frame(plan.jobs, worker, frame) || start_owns_frame(plan.starting, worker, frame);
      },
      [&plan](DecodeJob job) { return plan.decode_jobs.try_send(std::move(job)); }, plan.discovery_times,
      requested_frame_size(plan.context.dimensions, plan.file_ds), c.now);
  // Asked after the hand-over, so that the frames just handed are among
  // those the next scan's files do not wake the host for.
  const auto now = std::chrono::steady_clock::now();
  if (discovery_scan_wanted(discovery, now))
    (void)request_discovery(discovery, c.world.playhead, now, frame_waits(plan.ledger));
}

PoolJob* job_of_worker(PoolPlan& plan, const std::optional<uint64_t>& worker) {
  if (!worker) return nullptr;
  for (PoolJob& job : plan.jobs)
    if (job.worker_index == *worker) return &job;
  return nullptr;
}

// Step 6, one message: its phase record, its booking, and for a frame the
// worker's count and interval. Answers whether a frame went to the caller.
// `elapsed_ms` is the batch's age at the call's instant.
bool take_delivery(SupervisionCall& c, double elapsed_ms, PoolFrameDelivery&& message) {
  PoolPlan& plan = c.plan();
  const double ready_to_drain_ms = std::max(0.0, elapsed_ms - message.handed_off_ms);
  c.rt.drain_ms_total += ready_to_drain_ms;
  if (message.file) {
    plan.read_decode_ms_sum += message.file->read_ms + message.file->decode_ms;
    plan.read_bytes = sat_add(plan.read_bytes, message.file->file_bytes);
  }
  if (perf_enabled()) {
    const std::optional<uint32_t> tries = plan.ledger.tries.tries_of(message.frame);
    const uint32_t attempt = tries ? *tries + 1 : 1;
    if (auto record = pool_phase_record(message, attempt, ready_to_drain_ms)) perf_log(*record);
  }
  // The file road drops such a frame before it is read; this holds for
  // every road, whatever a worker hands over.
  if (!worker_owns_frame(plan.jobs, message.worker, message.frame) &&
      !start_owns_frame(plan.starting, message.worker, message.frame))
    return false;
  PoolJob* job = job_of_worker(plan, message.worker);
  const bool served = message.pixels && c.served && c.served(message.frame);
  const DeliveryBooking booking =
      book_delivery(plan.ledger, message, c.time(), served, DeliveringJob{job != nullptr, job && job->finished}, c.now);
  if (booking.size_changed) {
    reset_scheduler_state(plan.scheduler, plan.scheduler.next_trial_at_ns, c.rt.engine_samples, c.now);
    c.rt.admission_grant.reset();
  }
  if (booking.kind != DeliveryKind::Frame) return false;
  if (!plan.first_decoded_ms) plan.first_decoded_ms = elapsed_ms;
  plan.pixels = static_cast<uint32_t>(std::min<uint64_t>(
      uint64_t{message.pixels->width} * message.pixels->height, UINT32_MAX));
  if (job) {
    sat_inc(job->delivered);
    job->last_frame_at_ns = c.now;
    const double job_ms = ms_between(job->launched_ns, c.now);
    if (!job->first_frame_ms) job->first_frame_ms = job_ms;
    if (booking.useful) {
      JobFrameInterval interval{job->last_frame_ms, job->per_frame_ms, false};
      note_job_frame(interval, job_ms);
      job->last_frame_ms = interval.last_frame_ms;
      job->per_frame_ms = interval.interval_ms;
    }
  }
  if (c.frames.empty()) c.frames.reserve(kReceiveMessagesPerCall);
  c.frames.push_back(IngestedFrame{*booking.key, std::move(*message.pixels), plan.context.identity});
  return true;
}

// Step 6 on the call's instant: the 2 ms run from it, and the window's last
// look at the clock, when it took one, is the instant after the receiving.
void receive_frames(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  ReceiveWindow window(c.now);
  const double elapsed_ms = ms_between(plan.started_at, c.now);
  const auto take = [&c, elapsed_ms](PoolFrameDelivery&& m) { return take_delivery(c, elapsed_ms, std::move(m)); };
  c.receive_end = receive_deliveries(window, plan.stash, plan.frames, c.world.clock, take);
  const std::optional<uint64_t> seen = window.last_read_ns();
  c.now = seen ? *seen : c.world.clock();
}

// A worker that hands over frames of another size than the batch asked for
// (a template that crops, pads or stretches, another version of the
// project) does so for every frame of every batch. The batch ends at the
// call that met the first, so that its frames go back to the other
// producers at once, and the pool stays off for the session rather than
// start worker after worker for frames it must refuse. Answers whether the
// batch ended.
bool end_batch_of_foreign_frames(SupervisionCall& c) {
  const PoolPlan& plan = c.plan();
  const DeliveryLedger& ledger = plan.ledger;
  if (ledger.foreign_frames == 0) return false;
  const std::optional<FrameDimensions> requested = requested_frame_size(plan.context.dimensions, plan.file_ds);
  log_line("ERROR", foreign_frames_text(ledger.foreign_frames, ledger.foreign_size.value_or(FrameDimensions{}),
                                        requested.value_or(FrameDimensions{})));
  end_batch(c.rt, c.now);
  disable_pool_for_session(c.rt, "les workers rendent des images d'une autre taille que la composition — "
                                 "vérifier les modèles de rendu et de module de sortie");
  return true;
}

// Step 8: the first delivery's time, and the batch's delivery profile.
void note_first_delivery(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  const double elapsed_ms = ms_between(plan.started_at, c.now);
  if (plan.ledger.delivered > 0 && !plan.first_ms) {
    plan.first_ms = elapsed_ms;
    record_first_delivery_ms(c.rt.first_delivery_history, plan.context, true, elapsed_ms);
    const double secs = elapsed_ms / 1000.0;
    if (!c.rt.fastest_first_delivery_secs || secs < *c.rt.fastest_first_delivery_secs)
      c.rt.fastest_first_delivery_secs = secs;
  }
  const auto per_frame = batch_per_frame_ms(elapsed_ms, plan.first_ms, plan.ledger.delivered, plan.measure_valid);
  if (!per_frame) return;
  DeliveryDescriptor d;
  d.comp_identity = plan.context.identity;
  d.file_downsample = plan.file_ds;
  d.dimensions = c.rt.comp_dimensions;
  d.comp_3d = c.rt.comp_is_3d;
  d.output = plan.output_format;
  d.timing_a = *plan.first_ms;
  d.per_frame_ms = *per_frame;
  d.span = plan.expected_frames;
  d.downsample = plan.file_ds;
  d.effective_step = std::max(plan.file_ds, c.output_ds);
  c.rt.delivery_descriptor = d;
}

// Whether each frame of the job's range was delivered or given up. Only a
// job that delivered its range's count, or a batch that gave a frame up, is
// walked: a running worker costs the tick nothing more.
bool range_settled(const PoolPlan& plan, const PoolJob& job) {
  if (job.first_frame > job.last_frame) return false;
  if (job.delivered < range_frame_count(job.first_frame, job.last_frame) && !plan.ledger.tries.any_given_up())
    return false;
  for (int64_t f = job.first_frame;; ++f) {
    const std::optional<uint32_t> tries = plan.ledger.tries.tries_of(f);
    if (!tries || (*tries != 0 && *tries < kFrameReadTries)) return false;
    if (f == job.last_frame) return true;
  }
}

// A file worker that owes nothing more gives its slot up at once and is
// ended once its grace is over. (A memory worker keeps its slot: the one
// shared-memory output of the process is its until it ends.)
void settle_finished_ranges(SupervisionCall& c, std::vector<size_t>& exited) {
  PoolPlan& plan = c.plan();
  if (c.memory_output()) return;
  for (size_t i = 0; i < plan.jobs.size(); ++i) {
    PoolJob& job = plan.jobs[i];
    if (job.finished) continue;
    if (!job.settled_at_ns && range_settled(plan, job)) job.settled_at_ns = c.now;
    if (job.settled_at_ns && settled_grace_over(*job.settled_at_ns, c.now))
      end_settled_worker(job, i, c.rt.ended_clients, exited);
  }
}

// Steps 10 and the hung-worker watch: exited workers are booked, a worker
// silent for the batch's limit since its start or last frame is killed and
// booked the same way, and one that owes nothing more is ended after its
// grace. Answers how many still run; `active` counts those holding a slot.
uint64_t watch_workers(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  std::vector<size_t> exited;
  reap_exited_workers(plan.jobs, c.rt.ended_clients, exited);
  for (size_t i = 0; i < plan.jobs.size(); ++i) {
    PoolJob& job = plan.jobs[i];
    if (!job.finished && job_hung(job.launched_ns, job.last_frame_at_ns, c.now, plan.silent_limit_secs))
      retire_hung_job(job, i, c.rt.ended_clients, exited);
    // The pool folder itself moved away is the idle step's to see (the pool
    // goes off with one line, its workers with it); looked at after the
    // worker's path, so that a move in between is seen here too.
    if (!job.finished && worker_path_misled(job) && pool_folder_held())
      retire_misled_job(job, i, c.rt.ended_clients, exited);
  }
  settle_finished_ranges(c, exited);
  // The exit check names the log of a worker that failed: its folder stays.
  // The failure may be the volume's: no worker goes before a fresh look at it.
  for (size_t index : exited) {
    if (plan.jobs[index].clean_exit) continue;
    if (plan.job_dir) plan.job_dir->keep_for_next_load();
    c.rt.volume.want_reading_after(c.now);
  }
  uint64_t running = 0;
  plan.active = plan.starting.size();  // a worker still starting runs as far as the launch limits are concerned
  for (const PoolJob& job : plan.jobs) {
    running += job.finished ? 0 : 1;
    plan.active += job.holds_slot() ? 1 : 0;
  }
  // The engine samples go on: the next sample, with an engine fewer, begins
  // a new series by itself, and the series of the engines that just ran is
  // what the next launch's admission judges.
  if (!exited.empty()) {
    plan.last_exit_seen_at = c.now;
    restart_measurement_window(plan.scheduler, c.now);
    plan.exits_to_examine.insert(plan.exits_to_examine.end(), exited.begin(), exited.end());
  }
  return running;
}

bool memory_readers_exited(const PoolPlan& plan) {
  for (const PoolJob& job : plan.jobs) {
    if (job.finished && job.reader_flags && !(*job.reader_flags)[2].load(std::memory_order_acquire)) return false;
  }
  return true;
}

// Step 12: once their output has drained, the exited jobs' missing frames
// go back to the queue for their one replay.
void queue_missing_frames(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (plan.exits_to_examine.empty()) return;
  bool drained = false;
  if (c.memory_output()) {
    drained = memory_readers_exited(plan) &&
              memory_frames_drained(plan.stash, plan.frames, !c.frames.empty(), c.receive_end);
  } else {
    drained = file_output_drained(plan.pending_frames.empty(), plan.last_scan_at, plan.last_exit_seen_at);
  }
  if (!drained) {
    c.memory_exits_draining = c.memory_output();
    return;
  }
  for (size_t index : plan.exits_to_examine) {
    const PoolJob& job = plan.jobs[index];
    for (const QueuedRange& run : missing_runs(job.first_frame, job.last_frame, job.replay, plan.ledger.tries,
                                               plan.ledger.handed, plan.ledger.null_frames))
      plan.queued_ranges.push_back(run);
  }
  plan.exits_to_examine.clear();
}

// The volume has no room for a worker: the ranges still queued (the
// replays among them) are left to the host's renders, which the pool no
// longer holds back. The workers running finish what they can.
void leave_queue_to_host(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (!c.rt.volume.short_of_room() || plan.queued_ranges.empty()) return;
  uint64_t dropped = 0;
  for (const QueuedRange& r : plan.queued_ranges)
    if (!r.replay) dropped = sat_add(dropped, range_frame_count(r.start, r.end));
  plan.queued_ranges.clear();
  plan.expected_frames = plan.expected_frames > dropped ? plan.expected_frames - dropped : 0;
}

bool readers_complete(const PoolPlan& plan) {
  for (const PoolJob& job : plan.jobs)
    if (!job.reader_flags || !(*job.reader_flags)[1].load(std::memory_order_acquire)) return false;
  return true;
}

// A running worker that owes the batch nothing more: each frame of its range
// delivered or given up, one of them given up (a file it keeps changing,
// say). Waiting for its end gains nothing; the batch's end stops it.
bool owes_nothing(const PoolPlan& plan, const PoolJob& job) {
  return plan.ledger.tries.any_given_up() && range_settled(plan, job);
}

// Step 14: nothing pending, the batch ends and says what its end means for
// the transport and the pool.
void close_if_complete(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  uint64_t unfinished = 0;
  for (const PoolJob& job : plan.jobs) unfinished += job.finished || owes_nothing(plan, job) ? 0 : 1;
  unfinished += plan.starting.size();
  // Only the file road tries a frame again: its files wait in the folder.
  const uint64_t retrying = plan.discovery ? plan.ledger.tries.awaiting_retry(c.now) : 0;
  const BatchPending pending{plan.exits_to_examine.size(), c.frames.size(), plan.ledger.handed.size(),
                             plan.queued_ranges.size(), unfinished, retrying};
  if (!batch_complete(pending)) return;
  BatchCloseInputs in;
  in.output = plan.output_format;
  in.delivered = plan.ledger.delivered;
  in.expected = plan.expected_frames;
  in.null_frames = plan.ledger.null_frames.size();
  in.readers_complete = plan.output_format < kOutputMemory || readers_complete(plan);
  in.file_ds = plan.file_ds;
  in.volume_short = c.rt.volume.short_of_room();
  const std::filesystem::path first_log = plan.jobs.empty() ? std::filesystem::path() : plan.jobs.front().log_path;
  in.first_log_names_template = [first_log] { return !first_log.empty() && worker_log_mentions_template(first_log); };
  in.first_log_path = first_log.string();
  in.quick_chaining = c.rt.quick_chaining;
  in.comp_3d = c.rt.comp_is_3d;
  in.started_ns = plan.started_at;
  in.now_ns = c.now;
  const BatchCloseVerdict verdict = close_batch(in);
  plan.completed = verdict.kind == BatchCloseKind::Closed;
  if (verdict.disable_reason && plan.job_dir) plan.job_dir->keep_for_next_load();  // the reason names w0's log
  end_batch(c.rt, c.now);
  if (verdict.choose_psd) choose_psd(c.rt);
  if (verdict.error_line) log_line("ERROR", *verdict.error_line);
  if (verdict.null_record) perf_log(*verdict.null_record);
  if (verdict.disable_reason) disable_pool_for_session(c.rt, *verdict.disable_reason);
  if (verdict.template_failure_reason) note_template_failure(c.rt, *verdict.template_failure_reason);
  if (verdict.next_batch_at_ns) c.rt.launch_cooldown_until = verdict.next_batch_at_ns;
}

std::vector<IngestedFrame> supervise(SupervisionCall& c) {
  const SupervisionWorld& w = c.world;
  WorkersPerBatchInputs wpb;
  wpb.measured_admission = w.measured_admission;
  wpb.output_choice = c.rt.selected_output;
  wpb.comp_3d = c.rt.comp_is_3d;
  wpb.parallelism = w.parallelism;
  wpb.configured_workers = w.configured_workers;
  wpb.effective_workers = w.effective_workers ? w.effective_workers() : 1;
  c.workers_per_batch = workers_per_batch(wpb);
  c.adaptive = scheduler_adaptive(w.measured_admission, w.adaptive_scheduler, c.rt.selected_output);
  if (!c.rt.plan) return {};
  c.output_ds = std::max<uint64_t>(c.output_ds, 1);
  c.now = w.clock();
  tend_pool_volume(c.rt, c.now, w.volume_probe);
  if (silent_watchdog(c)) return {};
  // The workers started since the last call become jobs before their
  // frames are taken.
  if (take_worker_starts(c) == StartsTaken::BatchEnded) return {};
  publish_decimation(c);
  hand_over_frame_files(c);
  receive_frames(c);
  if (end_batch_of_foreign_frames(c)) return std::move(c.frames);
  note_first_delivery(c);
  c.frame_budget = kLaunchFrameBudget;
  supervise_admission(c);
  const uint64_t running = watch_workers(c);
  if (retirement_due(c.rt.handoff_deadline, c.now, running)) {
    end_batch(c.rt, c.now);
    return std::move(c.frames);
  }
  queue_missing_frames(c);
  leave_queue_to_host(c);
  if (!launch_further_workers(c)) return std::move(c.frames);
  if (c.adaptive) write_scheduler_outcome(c);
  close_if_complete(c);
  return std::move(c.frames);
}

}  // namespace

SupervisionWorld live_supervision_world(const PoolRuntime& rt, uint64_t async_renders_in_flight,
                                        std::optional<int64_t> playhead) {
  SupervisionWorld w;
  w.clock = [] { return mono_ns(); };
  w.measured_admission = measured_admission_enabled();
  w.adaptive_scheduler = adaptive_scheduler_enabled();
  w.parallelism = memory_and_cpu_count().cpu_count;
  w.configured_workers = pool_worker_count();
  const LaunchWorld launch = live_launch_world(rt, async_renders_in_flight);
  w.effective_workers = launch.effective_worker_count;
  w.async_renders_in_flight = async_renders_in_flight;
  w.playhead = playhead;
  w.available_memory = [] { return available_memory_bytes(); };
  w.spawn_worker = launch.spawn_worker;
  w.run_off_main = launch.run_off_main;
  w.volume_probe = live_volume_probe();
  return w;
}

std::vector<IngestedFrame> supervise_batches(PoolRuntime& rt, uint64_t output_ds, const SupervisionWorld& world) {
  SupervisionCall call{rt, world};
  call.output_ds = output_ds;
  return supervise(call);
}

std::vector<IngestedFrame> supervise_batches(PoolRuntime& rt, uint64_t output_ds, const SupervisionWorld& world,
                                             const FrameCache& cache, WidthRule rule) {
  SupervisionCall call{rt, world};
  call.output_ds = output_ds;
  call.cache = &cache;
  call.rule = rule;
  if (rule.mode == 1 && !cache.index.empty()) {
    call.served = [&call, &cache, rule](int64_t frame) {
      const std::optional<FrameKey> key = batch_frame_key(call.time(), frame);
      if (!key) return false;
      auto it = cache.index.find(*key);
      return it != cache.index.end() && it->second.width() >= rule.min_width;
    };
  }
  return supervise(call);
}

}  // namespace vel
