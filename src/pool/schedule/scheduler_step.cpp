#include "pool/schedule/scheduler_step.h"

#include <algorithm>

#include "core/saturating.h"
#include "pool/schedule/measured_admission.h"

namespace vel {

bool cpu_sample_fresh(const CpuSample& cpu, uint64_t now_ns) { return sample_fresh(cpu.taken_at_ns, now_ns); }

bool cpu_hold_off_passed(const CpuSample& cpu, uint64_t now_ns) {
  if (!sample_fresh(cpu.listing_at_ns, now_ns)) return false;
  return !cpu.hold_until_ns || now_ns >= *cpu.hold_until_ns;
}

void fall_back_to_one_engine(SchedulerTrial& trial, TrialOutcome outcome) {
  if (trial.level >= 2) trial.ceiling = trial.ceiling ? std::min(*trial.ceiling, trial.level) : trial.level;
  trial.level = 1;
  trial.trial_length_ns.reset();
  trial.trial_started_at_ns.reset();
  trial.outcome = outcome;
}

bool apply_cpu_pressure(SchedulerTrial& trial, const CpuSample& cpu, uint64_t now_ns) {
  if (!cpu_sample_fresh(cpu, now_ns) || !(cpu.total_cpu >= kCpuPressurePercent)) return false;
  fall_back_to_one_engine(trial, TrialOutcome::Pressure);
  return true;
}

bool trial_may_run(const TrialConditions& c) {
  return c.pool_on && !c.gpu_contended && !c.disabled && !c.holding && !c.retire_armed && c.hold_off_passed &&
         c.trials_permitted && !c.paused;
}

bool trial_running(const SchedulerTrial& trial) { return trial.trial_length_ns.has_value(); }

TrialStep scheduler_trial_step(SchedulerTrial& trial, std::optional<uint64_t>& next_trial_at_ns, bool may_run,
                               const SchedulerAssessment& verdict, const CpuSample& cpu, uint64_t now_ns) {
  if (!may_run) {
    if (!trial_running(trial)) return TrialStep::Idle;
    fall_back_to_one_engine(trial, TrialOutcome::Cancelled);
    return TrialStep::Cancelled;
  }
  const bool cpu_calm = cpu_sample_fresh(cpu, now_ns) && cpu.total_cpu < kCpuTrialPercent;
  if (verdict.outcome != SchedulerOutcome::Admit || !cpu_calm || trial_running(trial)) return TrialStep::Idle;
  if (next_trial_at_ns && now_ns < *next_trial_at_ns) return TrialStep::Idle;
  next_trial_at_ns = sat_add(now_ns, 1'000'000'000);
  return TrialStep::Attempt;
}

void restart_measurement_window(SchedulerTrial& trial, uint64_t now_ns) {
  if (trial_running(trial)) trial.trial_started_at_ns = now_ns;
}

void reduce_target_to_queue(SchedulerTrial& trial, uint64_t active, uint64_t queued_ranges) {
  const uint64_t work = sat_add(active, queued_ranges);
  if (work >= trial.level) return;
  trial.level = std::max<uint64_t>(work, 1);
  trial.trial_length_ns.reset();
  trial.trial_started_at_ns.reset();
  trial.outcome = TrialOutcome::QueueReduced;
}

void reset_scheduler_state(SchedulerTrial& trial, std::optional<uint64_t>& next_trial_at_ns,
                           SchedulerHistory& history, uint64_t now_ns) {
  reset_scheduler_trial(trial);
  next_trial_at_ns.reset();
  reset_samples(history, now_ns);
}

bool scheduler_record_due(std::optional<SchedulerLogKey>& logged, const SchedulerTrial& trial) {
  const SchedulerLogKey key{trial.level, trial_running(trial), trial.outcome};
  if (logged == key) return false;
  logged = key;
  return true;
}

}  // namespace vel
