// The supervision's engine decisions: the admission verdict and the
// adaptive scheduler (step 9), and the launch of further workers from the
// batch's queue (step 13), with a failed spawn retried a bounded number of
// times rather than on every call for ever.
#include <algorithm>

#include "core/log.h"
#include "core/switches.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/supervision_call.h"
#include "pool/runtime/pool_perf_records.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/schedule/adaptive_scheduler.h"
#include "pool/schedule/launch_preparation.h"
#include "pool/schedule/range_planning.h"
#include "pool/schedule/worker_capacity.h"

namespace vel {

namespace {

constexpr uint64_t kRampSlotNs = 750'000'000;

uint64_t jobs_holding_slots(const PoolPlan& plan) {
  uint64_t n = 0;
  for (const PoolJob& job : plan.jobs) n += job.holds_slot() ? 1 : 0;
  return n;
}

double elapsed_ms(const SupervisionCall& c) {
  const Instant started = c.rt.plan->started_at;
  return c.now > started ? static_cast<double>(c.now - started) / 1e6 : 0.0;
}

// A trial was offered: the queued frames still worth rendering weigh one
// more engine; a trial that starts splits the queue for it.
void offer_trial(SupervisionCall& c, const CpuSample& cpu) {
  PoolPlan& plan = c.plan();
  const std::vector<RangeFrames> lists =
      c.cache ? build_uncached_batch_frames(plan.queued_ranges, c.time(), c.frame_budget, c.rule, *c.cache)
              : build_batch_frames(plan.queued_ranges, c.time(), c.frame_budget);
  uint64_t useful_queued = 0;
  for (const RangeFrames& r : lists) useful_queued += r.frames.size();
  TrialSignal signal;
  signal.throughput = c.verdict.rate;
  signal.target = plan.scheduler.level + 1;
  signal.assessment = c.verdict;
  signal.figures.startup_secs_per_worker = c.rt.fastest_first_delivery_secs;
  signal.figures.useful_queued_frames = useful_queued;
  signal.figures.cpu_percent = cpu.total_cpu;
  signal.figures.pool_cpu_percent = cpu.pool_cpu;
  const std::optional<WorkerProjection> proposal = start_scheduler_trial(plan.scheduler, c.now, signal);
  if (!proposal) return;
  std::vector<QueuedRangeCosts> costs;
  costs.reserve(lists.size());
  for (const RangeFrames& r : lists) costs.push_back({r.queue_position, r.frames});
  split_queued_ranges(plan.queued_ranges, proposal->workers, costs);
  perf_log(scheduler_trial_record(*proposal, useful_queued, cpu));
}

void run_scheduler(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  const CpuSample cpu = cpu_sample_of(c.rt);
  if (trial_running(plan.scheduler)) {
    TrialSignal observed;
    observed.throughput = c.verdict.rate;
    observed.target = plan.scheduler.level;
    observed.kind = kTrialSignalActiveCheck;
    observed.assessment = c.verdict;
    const std::vector<uint32_t> shares = running_mfr_percents(plan);
    evaluate_scheduler_trial(plan.scheduler, c.now, observed, shares, shares.size());
  }
  if (apply_cpu_pressure(plan.scheduler, cpu, c.now)) return;
  TrialConditions conditions;
  conditions.pool_on = c.rt.pool_enabled;
  conditions.gpu_contended = c.rt.gpu_contended;
  conditions.disabled = c.rt.disabled_for_session;
  conditions.holding = c.rt.ranges_held;
  conditions.retire_armed = c.rt.handoff_deadline.has_value();
  conditions.hold_off_passed = cpu_hold_off_passed(cpu, c.now);
  conditions.trials_permitted = true;
  conditions.paused = c.rt.pump_paused;
  const TrialStep step = scheduler_trial_step(plan.scheduler, plan.scheduler.next_trial_at_ns,
                                              trial_may_run(conditions), c.verdict, cpu, c.now);
  if (step == TrialStep::Attempt) offer_trial(c, cpu);
}

// A failed spawn: the range waits at the front for a bounded retry, or is
// dropped; the admission and the scheduler start over from one engine.
void spawn_failed(SupervisionCall& c, const QueuedRange& range) {
  PoolPlan& plan = c.plan();
  c.rt.admission_grant.reset();
  clear_samples(c.rt.engine_samples);
  if (c.adaptive) fall_back_to_one_engine(plan.scheduler, TrialOutcome::SpawnFailed);
  if (plan.spawn_retry.failed(c.now, plan.active > 0) == SpawnFailureAction::Retry) {
    plan.queued_ranges.push_front(range);
    return;
  }
  // Its frames are left to a later batch, as the launch leaves a range it
  // cannot start.
  if (!range.replay) {
    const uint64_t n = range_frame_count(range.start, range.end);
    plan.expected_frames = plan.expected_frames > n ? plan.expected_frames - n : 0;
  }
}

// The starts of earlier calls (or of this one, run in place): a worker that
// started becomes a job; one that did not gives its range back or drops it.
// A batch none of whose workers started gives up as its launch would have.
}  // namespace

StartsTaken take_worker_starts(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  bool failed = false;
  bool ended = false;
  take_finished_starts(plan, c.now, [&] { c.rt.failed_launches = 0; }, [&](const StartInFlight& start) {
    failed = true;
    plan.active -= std::min<uint64_t>(plan.active, 1);
    plan.spawned_workers -= std::min<uint64_t>(plan.spawned_workers, 1);
    if (plan.jobs.empty() && plan.starting.empty()) {
      give_up_batch_start(c.rt, plan, c.now);
      (void)take_pool_plan(c.rt, c.now);
      ended = true;
      return false;
    }
    if (c.memory_output()) {
      (void)take_pool_plan(c.rt, c.now);
      if (c.rt.selected_output != kOutputPsd) {
        c.rt.selected_output = kOutputPsd;
        reset_pool_plan(c.rt);
      }
      log_line("ERROR", "pool: memory output launch failed — PSD selected for a future batch");
      ended = true;
      return false;
    }
    spawn_failed(c, start.range);
    return true;
  });
  if (ended) return StartsTaken::BatchEnded;
  return failed ? StartsTaken::Failed : StartsTaken::Quiet;
}

namespace {

bool may_launch_now(SupervisionCall& c, uint64_t limit) {
  const PoolPlan& plan = *c.rt.plan;
  const PoolRuntime& rt = c.rt;
  if (!plan.starting.empty()) return false;  // one start at a time
  if (plan.active >= limit || plan.active >= std::max<uint64_t>(plan.target_workers, 1)) return false;
  if (plan.queued_ranges.empty()) return false;
  if (!rt.pool_enabled || rt.disabled_for_session || rt.gpu_contended || rt.ranges_held || rt.pump_paused) return false;
  if (rt.handoff_deadline) return false;
  if (c.memory_output() && c.memory_exits_draining) return false;
  if (rt.comp_is_3d && c.world.async_renders_in_flight > 0) return false;
  if (plan.ramp_slots_left > 0 && c.now < plan.next_ramp_slot_at) return false;
  if (!volume_lets_worker_go(rt, c.now)) return false;
  return plan.spawn_retry.may_launch(c.now) && plan.worker_request.has_value();
}

}  // namespace

std::vector<uint32_t> running_mfr_percents(const PoolPlan& plan) {
  std::vector<uint32_t> out;
  for (const PoolJob& job : plan.jobs)
    if (job.holds_slot()) out.push_back(job.mfr_percent);
  return out;
}

CpuSample cpu_sample_of(const PoolRuntime& rt) {
  CpuSample cpu;
  cpu.pool_cpu = rt.pool_cpu_percent;
  cpu.total_cpu = rt.total_cpu_percent;
  cpu.taken_at_ns = rt.cpu_sample_at;
  cpu.listing_at_ns = rt.cpu_listing_at;
  return cpu;
}

void supervise_admission(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (c.world.measured_admission) {
    c.verdict = assess_admission(c.rt.engine_samples, c.now, jobs_holding_slots(plan), c.workers_per_batch,
                                 c.world.available_memory);
    if (admission_record_due(c.rt.admission_logged, c.verdict) && perf_enabled()) {
      AdmissionContext context;
      context.file_ds = plan.file_ds;
      context.output_ds = std::max(plan.file_ds, c.output_ds);
      context.pixels = plan.pixels;
      context.useful_frames = plan.ledger.useful_frames;
      context.elapsed_ms = elapsed_ms(c);
      perf_log(pool_admission_record(c.verdict, context));
    }
  }
  if (c.adaptive) run_scheduler(c);
}

bool launch_further_workers(SupervisionCall& c) {
  if (take_worker_starts(c) == StartsTaken::BatchEnded) return false;
  PoolPlan& plan = c.plan();
  if (c.adaptive) reduce_target_to_queue(plan.scheduler, plan.active, plan.queued_ranges.size());
  LaunchLimitInputs limits;
  limits.adaptive = c.adaptive;
  limits.measured_admission = c.world.measured_admission;
  limits.workers_per_batch = c.workers_per_batch;
  limits.verdict_target = c.verdict.target;
  limits.scheduler_level = plan.scheduler.level;
  limits.active = plan.active;
  if (!c.adaptive && c.world.measured_admission && plan.active == 1 && c.rt.admission_grant)
    limits.grant_holds = recheck_admission_grant(c.rt.admission_grant, c.now, 0, c.world.available_memory);
  const uint64_t limit = launch_limit(limits);

  while (may_launch_now(c, limit)) {
    const std::vector<uint32_t> percents = running_mfr_percents(plan);
    LaunchInputs in;
    in.time = c.time();
    in.active = plan.active;
    in.limit = limit;
    in.running_percents = percents;
    in.batch_percent = plan.mfr_percent;
    in.served = c.served;
    if (c.world.measured_admission && plan.active == 0) {
      in.gate = [&c](uint64_t shares) {
        return gate_launch_shares(shares, c.verdict, c.now, c.world.available_memory, c.rt.admission_grant);
      };
    }
    const PreparedLaunch prepared = prepare_launch(plan.queued_ranges, in, c.frame_budget, plan.expected_frames);
    if (prepared.queue_record) perf_log(*prepared.queue_record);
    if (prepared.verdict == LaunchVerdict::Dropped) continue;
    if (prepared.verdict != LaunchVerdict::Launch) break;
    if (prepared.measure_invalid) plan.measure_valid = false;

    const bool one_per_call = plan.ramp_slots_left > 0 || c.world.measured_admission;
    LaunchRequest request = *plan.worker_request;
    request.worker_index = static_cast<uint32_t>(plan.next_range_index++);
    request.first_frame = prepared.range.start;
    request.last_frame = prepared.range.end;
    request.mfr_percent = prepared.mfr_percent;
    if (plan.ramp_slots_left > 0) {
      --plan.ramp_slots_left;
      plan.next_ramp_slot_at = c.now + kRampSlotNs;
    }
    plan.starting.push_back({start_worker(c.world.spawn_worker, request, c.world.run_off_main), prepared.range,
                             prepared.mfr_percent, request.worker_index});
    plan.mfr_percent = prepared.mfr_percent;
    ++plan.active;
    ++plan.spawned_workers;
    plan.peak_active = std::max(plan.peak_active, plan.active);
    restart_measurement_window(plan.scheduler, c.now);
    const StartsTaken taken = take_worker_starts(c);
    if (taken == StartsTaken::BatchEnded) return false;
    if (taken == StartsTaken::Failed) break;  // no further launch in the call that failed
    if (one_per_call) break;
  }
  return true;
}

void write_scheduler_outcome(SupervisionCall& c) {
  PoolPlan& plan = c.plan();
  if (!scheduler_record_due(c.rt.scheduler_logged, plan.scheduler) || !perf_enabled()) return;
  SchedulerOutcomeContext context;
  context.useful_frames = plan.ledger.useful_frames;
  context.cohort_frames = plan.ledger.cohort_frames;
  context.now_ns = c.now;
  perf_log(scheduler_outcome_record(plan.scheduler, c.verdict, cpu_sample_of(c.rt), context));
}

}  // namespace vel
