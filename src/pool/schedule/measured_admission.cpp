#include "pool/schedule/measured_admission.h"

#include <algorithm>

#include "core/saturating.h"

namespace vel {

bool sample_fresh(std::optional<uint64_t> taken_at_ns, uint64_t now_ns) {
  if (!taken_at_ns) return false;
  return now_ns <= *taken_at_ns || now_ns - *taken_at_ns <= kSampleFreshNs;
}

uint64_t workers_per_batch(const WorkersPerBatchInputs& in) {
  if (in.output_choice >= 2) return 1;
  if (!in.measured_admission) return std::max<uint64_t>(in.effective_workers, 1);
  const uint64_t cap = in.comp_3d ? 1 : 24;
  const uint64_t cpus = in.parallelism ? std::max<uint64_t>(1, uint64_t{*in.parallelism} * 80 / 100) : 1;
  const uint64_t configured = in.configured_workers == 0 ? 1 : std::min<uint64_t>(in.configured_workers, 24);
  return std::max<uint64_t>(1, std::min({cap, cpus, configured}));
}

bool scheduler_adaptive(bool measured_admission, bool adaptive_scheduler, uint8_t output_choice) {
  return measured_admission && adaptive_scheduler && output_choice < 2;
}

SchedulerAssessment assess_admission(SchedulerHistory& history, uint64_t now_ns, uint64_t running_jobs,
                                     uint64_t workers_per_batch, const AvailableMemoryProbe& probe) {
  SchedulerAssessment verdict = assess_scheduler(history, now_ns, running_jobs, workers_per_batch);
  if (verdict.outcome != SchedulerOutcome::Admit) return verdict;
  // The history may be seconds old: one more engine is admitted only against
  // what the machine has left now.
  const std::optional<uint64_t> available = probe ? probe() : std::nullopt;
  if (available && !history.samples.empty()) {
    uint64_t& newest = history.samples.back().available_bytes;
    newest = std::min(newest, *available);
  }
  return assess_scheduler(history, now_ns, running_jobs, workers_per_batch);
}

bool admission_record_due(std::optional<AdmissionLogKey>& last, const SchedulerAssessment& verdict) {
  const AdmissionLogKey key{verdict.outcome, verdict.target};
  if (last == key) return false;
  last = key;
  return true;
}

namespace {

// The memory a second engine needs on top of the reserve and the growth.
bool room_for_second_engine(uint64_t available, const SchedulerAssessment& verdict) {
  const uint64_t need = sat_add(sat_add(kAdmissionReserveBytes, verdict.growth_reserve_bytes),
                                sat_add(verdict.engine_need_bytes, verdict.engine_need_bytes));
  return available >= need;
}

}  // namespace

uint64_t gate_launch_shares(uint64_t shares, const SchedulerAssessment& verdict, uint64_t now_ns,
                            const AvailableMemoryProbe& probe, std::optional<AdmissionGrant>& grant) {
  if (shares < 2) return shares;
  // Only a verdict about exactly two engines speaks for a second one: an
  // Admit for three was judged with two already running.
  const bool verdict_ok = verdict.outcome == SchedulerOutcome::Admit && verdict.target == 2 &&
                          sample_fresh(verdict.newest_collection_end_ns, now_ns);
  const std::optional<uint64_t> available = verdict_ok && probe ? probe() : std::nullopt;
  if (!available || !room_for_second_engine(*available, verdict)) {
    grant.reset();
    return 1;
  }
  grant = AdmissionGrant{verdict.engine_need_bytes, verdict.growth_reserve_bytes,
                         sat_add(*verdict.newest_collection_end_ns, kSampleFreshNs)};
  return shares;
}

bool recheck_admission_grant(std::optional<AdmissionGrant>& grant, uint64_t now_ns, uint64_t committed_bytes,
                             const AvailableMemoryProbe& probe) {
  if (!grant) return false;
  const AdmissionGrant g = *grant;
  bool holds = now_ns <= g.valid_until_ns && g.next_engine_bytes >= committed_bytes;
  if (holds) {
    const std::optional<uint64_t> available = probe ? probe() : std::nullopt;
    const uint64_t need = sat_add(sat_add(g.next_engine_bytes - committed_bytes, g.next_engine_bytes),
                                  sat_add(g.growth_bytes, kAdmissionReserveBytes));
    holds = available && *available >= need;
  }
  if (!holds) grant.reset();
  return holds;
}

}  // namespace vel
