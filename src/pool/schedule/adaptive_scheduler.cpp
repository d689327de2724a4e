#include "pool/schedule/adaptive_scheduler.h"

#include <algorithm>
#include <cmath>

#include "core/saturating.h"

namespace vel {
namespace {

constexpr uint64_t kNsPerSecond = 1'000'000'000;
constexpr uint64_t kRetryDelayNs = 5 * kNsPerSecond;

// Gives the level back to one worker; a level above 1 that did not pay
// becomes (or lowers) the ceiling.
void revert(SchedulerTrial& t, uint64_t failed_level, TrialOutcome outcome) {
  if (failed_level > 1) t.ceiling = t.ceiling ? std::min(*t.ceiling, failed_level) : failed_level;
  t.level = 1;
  t.trial_length_ns.reset();
  t.outcome = outcome;
}

bool settled_on_equal_shares(std::span<const uint32_t> shares, uint64_t active) {
  const uint64_t fair = std::max<uint64_t>(80 / std::max<uint64_t>(active, 1), 1);
  return std::all_of(shares.begin(), shares.end(), [fair](uint32_t s) { return s == fair; });
}

}  // namespace

std::string_view trial_outcome_name(TrialOutcome outcome) {
  switch (outcome) {
    case TrialOutcome::Cold: return "Cold";
    case TrialOutcome::Started: return "Started";
    case TrialOutcome::Confirmed: return "Confirmed";
    case TrialOutcome::Loss: return "Loss";
    case TrialOutcome::Pressure: return "Pressure";
    case TrialOutcome::Expired: return "Expired";
    case TrialOutcome::Cancelled: return "Cancelled";
    case TrialOutcome::QueueReduced: return "QueueReduced";
    case TrialOutcome::SpawnFailed: return "SpawnFailed";
    case TrialOutcome::UnknownProof: return "UnknownProof";
  }
  return "Cold";
}

void reset_scheduler_trial(SchedulerTrial& trial) { trial = SchedulerTrial{}; }

SchedulerTrial carried_scheduler_trial(const SchedulerTrial& trial) {
  SchedulerTrial carried;
  carried.ceiling = trial.ceiling;
  return carried;
}

std::optional<WorkerProjection> start_scheduler_trial(SchedulerTrial& trial, uint64_t now_ns,
                                                      const TrialSignal& signal) {
  if (trial.trial_length_ns) return std::nullopt;
  const uint64_t next_level = sat_add(trial.level, 1);
  if (signal.target != next_level) return std::nullopt;
  if (trial.ceiling && *trial.ceiling <= next_level) return std::nullopt;
  const std::optional<WorkerProjection> proposal = extra_worker_pays_off(signal.assessment, signal.figures);
  if (!proposal) return std::nullopt;
  trial.level = proposal->workers;
  trial.outcome = TrialOutcome::Started;
  if (!signal.throughput) return std::nullopt;

  // fmin/fmax rather than clamp: a NaN transition time gets the longest trial.
  const double secs = std::fmax(30.0, std::fmin(120.0, 2.0 * proposal->transition_secs + 15.0));
  trial.trial_started_at_ns.reset();
  trial.baseline_throughput = *signal.throughput;
  trial.trial_opened_at_ns = now_ns;
  trial.trial_length_ns = static_cast<uint64_t>(std::llround(secs * 1e9));
  return proposal;
}

void evaluate_scheduler_trial(SchedulerTrial& trial, uint64_t now_ns, const TrialSignal& signal,
                              std::span<const uint32_t> active_mfr_shares, uint64_t active_workers) {
  if (signal.kind == kTrialSignalAbort) return revert(trial, trial.level, TrialOutcome::Pressure);
  if (signal.kind == kTrialSignalActiveCheck && active_workers > signal.target) {
    return revert(trial, trial.level, TrialOutcome::Loss);
  }
  if (!trial.trial_length_ns) return;
  const uint64_t since = trial.trial_started_at_ns.value_or(trial.trial_opened_at_ns);
  const uint64_t elapsed = now_ns > since ? now_ns - since : 0;
  if (elapsed >= *trial.trial_length_ns) return revert(trial, trial.level, TrialOutcome::Expired);

  if (active_workers != trial.level || !settled_on_equal_shares(active_mfr_shares, active_workers) ||
      !trial.trial_started_at_ns || !signal.throughput) {
    return;
  }
  const double throughput = *signal.throughput;
  if (throughput >= trial.baseline_throughput * 1.05) {
    trial.trial_length_ns.reset();
    trial.outcome = TrialOutcome::Confirmed;
    trial.retry_not_before_ns = sat_add(now_ns, kRetryDelayNs);
    return;
  }
  if (throughput >= trial.baseline_throughput * 0.9) return;
  revert(trial, active_workers, TrialOutcome::Loss);
}

}  // namespace vel
