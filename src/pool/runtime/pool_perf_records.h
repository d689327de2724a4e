// The PERF records of a running pool batch, as text: the admission verdict,
// the scheduler's trials and outcomes, the cut of a queued range, a null
// batch's callback count, the phases of every frame taken from the frame
// channel, and the summary of a batch at its end. Each is an upper-case name
// followed by name=value pairs in a fixed order; optional values print as
// "Some(…)" or "None", enumerations by their variant name. The callers write
// them with perf_log, which does nothing unless VELOCINTA_PERF is "1".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pool/batch/pool_frame_delivery.h"
#include "pool/schedule/adaptive_scheduler.h"
#include "pool/schedule/queued_range.h"
#include "pool/schedule/scheduler_assessment.h"
#include "pool/schedule/scheduler_step.h"

namespace vel {

// What the admission record prints beside the verdict.
struct AdmissionContext {
  uint64_t file_ds = 1;
  uint64_t output_ds = 1;  // max(file_ds, the preview's downsample)
  std::optional<uint32_t> pixels;
  uint64_t useful_frames = 0;
  double elapsed_ms = 0.0;  // since the batch started
};
std::string pool_admission_record(const SchedulerAssessment& verdict, const AdmissionContext& context);

// "POOL_SCHEDULER trial=true …": a trial just started.
std::string scheduler_trial_record(const WorkerProjection& proposal, uint64_t useful_queued, const CpuSample& cpu);

// "POOL_SCHEDULER target=…": the scheduler's state after a change. The CPU
// figures print only while the sample is fresh; the memory age in whole ms
// since the verdict's sample.
struct SchedulerOutcomeContext {
  uint64_t useful_frames = 0;
  uint64_t cohort_frames = 0;
  uint64_t now_ns = 0;
};
std::string scheduler_outcome_record(const SchedulerTrial& trial, const SchedulerAssessment& verdict,
                                     const CpuSample& cpu, const SchedulerOutcomeContext& context);

// A queued range cut before its launch: the range taken, the part launched
// and the number of frames cut off.
std::string pool_queue_record(const QueuedRange& original, const QueuedRange& accepted, uint64_t frames_cut);

// A null-output batch at its close.
std::string pool_null_record(uint64_t null_frames, uint64_t expected, double elapsed_ms);

// The phase record of one message taken from the frame channel: the file
// road's or the memory road's; none for a message that carries neither.
// `attempt` is the frame's read number (1 for its first), `ready_to_drain_ms`
// the wait between its hand-off and the supervision taking it.
std::optional<std::string> pool_phase_record(const PoolFrameDelivery& message, uint32_t attempt,
                                             double ready_to_drain_ms);

// The summary a batch writes when it ends.
struct PoolEndFigures {
  bool optimized = false;
  uint64_t clients = 0;
  uint64_t peak_active = 0;
  uint64_t frames_ingested = 0;
  uint64_t expected_frames = 0;
  uint64_t useful_frames = 0;
  std::optional<double> first_ms;
  double elapsed_ms = 0.0;
  double read_decode_ms_sum = 0.0;
  uint64_t read_bytes = 0;
  uint64_t file_ds = 1;
  std::optional<uint32_t> pixels;
  double launch_ms = 0.0;
  std::optional<double> first_discovered_ms;
  std::optional<double> first_decoded_ms;
  uint8_t output_format = 0;  // 0 psd, 1 tga, 2 vnm
};
std::string pool_end_record(const PoolEndFigures& figures);

}  // namespace vel
