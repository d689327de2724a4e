// Measured admission: a pool batch starts with one aerender engine and runs a
// second one at once only when the engine memory samples, read again against
// the machine's available memory at that moment, leave room for it. The
// verdict is the scheduler's assessment of the sample history; its reason is
// what the POOL_ADMISSION record prints. Main thread only; instants are
// monotonic nanoseconds.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "pool/schedule/engine_memory_samples.h"
#include "pool/schedule/scheduler_assessment.h"

namespace vel {

// Memory never promised to engines: what the machine keeps for itself.
inline constexpr uint64_t kAdmissionReserveBytes = 4ull << 30;
// A sample counts as fresh while at most this old (exactly 3 s still counts).
inline constexpr uint64_t kSampleFreshNs = 3'000'000'000;

// Fresh when taken at most 3 s before `now_ns`; a stamp from after `now_ns`
// counts as just taken. None is never fresh.
bool sample_fresh(std::optional<uint64_t> taken_at_ns, uint64_t now_ns);

// The machine's available memory, read when asked ("MemAvailable"); none
// when it cannot be read.
using AvailableMemoryProbe = std::function<std::optional<uint64_t>()>;

// Workers per batch, the first figure of every supervision call.
struct WorkersPerBatchInputs {
  bool measured_admission = true;
  uint8_t output_choice = 0;  // 0 PSD, 1 TGA, 2 memory
  bool comp_3d = false;
  std::optional<uint32_t> parallelism;  // hardware threads; none when unknown
  uint64_t configured_workers = 8;      // the pool worker count
  uint64_t effective_workers = 1;       // the count used with measured admission off
};
// Memory output runs one engine; measured admission allows
// max(1, min(cap, 80 % of the threads, configured)), the cap being 1 on a 3D
// composition and 24 otherwise; without it, the effective worker count.
uint64_t workers_per_batch(const WorkersPerBatchInputs& in);

// The scheduler adapts only with both switches on and file output.
bool scheduler_adaptive(bool measured_admission, bool adaptive_scheduler, uint8_t output_choice);

// The verdict of this call for `running_jobs` engines out of
// `workers_per_batch`. On an Admit the machine's available memory is read
// once more: the newest sample keeps the lower of its figure and the fresh
// one (an empty history keeps nothing), and the history is judged again.
SchedulerAssessment assess_admission(SchedulerHistory& history, uint64_t now_ns, uint64_t running_jobs,
                                     uint64_t workers_per_batch, const AvailableMemoryProbe& probe);

// The (reason, target) pair of the last POOL_ADMISSION record written.
using AdmissionLogKey = std::pair<SchedulerOutcome, uint64_t>;
// True, remembering the verdict's pair, when it differs from the pair last
// written (always for the first record of a run).
bool admission_record_due(std::optional<AdmissionLogKey>& last, const SchedulerAssessment& verdict);

// What let a batch start a second engine, kept while that engine grows.
struct AdmissionGrant {
  uint64_t next_engine_bytes = 0;
  uint64_t growth_bytes = 0;
  uint64_t valid_until_ns = 0;  // the verdict's sample time + 3 s
  bool operator==(const AdmissionGrant&) const = default;
};

// The gate at launch with no worker active: `shares` engines are wanted.
// Two or more need an Admit for exactly 2 engines from a sample at most 3 s
// old, and a fresh reading with available ≥ 4 GiB + growth + 2 × the next
// engine (equality admits); then `grant` is set and `shares` kept. Any other
// answer clears `grant` and gives 1. One share passes untouched.
uint64_t gate_launch_shares(uint64_t shares, const SchedulerAssessment& verdict, uint64_t now_ns,
                            const AvailableMemoryProbe& probe, std::optional<AdmissionGrant>& grant);

// The re-check while exactly one worker runs under a grant: it holds while
// now is not past its deadline, a fresh reading succeeds, the newest engine
// has committed at most the promised bytes since its launch, and available ≥
// (promised − committed) + promised + growth + 4 GiB. Otherwise `grant` is
// cleared. Nothing to check without a grant (false).
bool recheck_admission_grant(std::optional<AdmissionGrant>& grant, uint64_t now_ns, uint64_t committed_bytes,
                             const AvailableMemoryProbe& probe);

}  // namespace vel
