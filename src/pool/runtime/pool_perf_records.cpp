#include "pool/runtime/pool_perf_records.h"

#include "core/format.h"
#include "memout/output_format.h"
#include "pool/decode/frame_ingest.h"

namespace vel {

namespace {

std::string pair_text(const QueuedRange& r) {
  return "(" + std::to_string(r.start) + ", " + std::to_string(r.end) + ")";
}

const char* bool_text(bool v) { return v ? "true" : "false"; }

}  // namespace

std::string pool_admission_record(const SchedulerAssessment& verdict, const AdmissionContext& context) {
  return "POOL_ADMISSION reason=" + std::string(scheduler_outcome_name(verdict.outcome)) +
         " target=" + std::to_string(verdict.target) + " available_bytes=" + std::to_string(verdict.available_bytes) +
         " peak_engine_bytes=" + std::to_string(verdict.peak_engine_bytes) +
         " next_engine_bytes=" + std::to_string(verdict.engine_need_bytes) +
         " growth_bytes=" + std::to_string(verdict.growth_reserve_bytes) +
         " file_ds=" + std::to_string(context.file_ds) + " output_ds=" + std::to_string(context.output_ds) +
         " pixels=" + fmt_opt(context.pixels) + " useful_frames=" + std::to_string(context.useful_frames) +
         " useful_fps=" + fmt_opt(verdict.rate) + " previous_fps=" + fmt_opt(verdict.previous_rate) +
         " elapsed_ms=" + fmt_fixed(context.elapsed_ms, 1);
}

std::string scheduler_trial_record(const WorkerProjection& proposal, uint64_t useful_queued, const CpuSample& cpu) {
  return "POOL_SCHEDULER trial=true target=" + std::to_string(proposal.workers) +
         " useful_queued=" + std::to_string(useful_queued) + " current_secs=" + fmt_fixed(proposal.current_secs, 2) +
         " candidate_secs=" + fmt_fixed(proposal.candidate_secs, 2) +
         " transition_secs=" + fmt_fixed(proposal.transition_secs, 2) +
         " margin_secs=" + fmt_fixed(proposal.margin_secs, 2) + " predicted_fps=" + fmt_fixed(proposal.predicted_fps, 3) +
         " pool_cpu=" + fmt_fixed(cpu.pool_cpu, 1) + " total_cpu=" + fmt_fixed(cpu.total_cpu, 1);
}

std::string scheduler_outcome_record(const SchedulerTrial& trial, const SchedulerAssessment& verdict,
                                     const CpuSample& cpu, const SchedulerOutcomeContext& context) {
  std::optional<uint64_t> memory_age_ms;
  if (verdict.newest_collection_end_ns) {
    const uint64_t at = *verdict.newest_collection_end_ns;
    memory_age_ms = context.now_ns > at ? (context.now_ns - at) / 1'000'000 : 0;
  }
  const bool fresh = cpu_sample_fresh(cpu, context.now_ns);
  const std::optional<double> pool_cpu = fresh ? std::optional<double>(cpu.pool_cpu) : std::nullopt;
  const std::optional<double> total_cpu = fresh ? std::optional<double>(cpu.total_cpu) : std::nullopt;
  return "POOL_SCHEDULER target=" + std::to_string(trial.level) + " trial=" + bool_text(trial_running(trial)) +
         " outcome=" + std::string(trial_outcome_name(trial.outcome)) +
         " useful_frames=" + std::to_string(context.useful_frames) +
         " cohort_frames=" + std::to_string(context.cohort_frames) + " useful_fps=" + fmt_opt(verdict.rate) +
         " previous_fps=" + fmt_opt(verdict.previous_rate) + " memory_age_ms=" + fmt_opt(memory_age_ms) +
         " pool_cpu=" + fmt_opt(pool_cpu) + " total_cpu=" + fmt_opt(total_cpu);
}

std::string pool_queue_record(const QueuedRange& original, const QueuedRange& accepted, uint64_t frames_cut) {
  return "POOL_QUEUE original=" + pair_text(original) + " accepted=" + pair_text(accepted) +
         " frames_already_served=" + std::to_string(frames_cut);
}

std::string pool_null_record(uint64_t null_frames, uint64_t expected, double elapsed_ms) {
  return "POOL_NULL callbacks=" + std::to_string(null_frames) + "/" + std::to_string(expected) +
         " elapsed_ms=" + fmt_fixed(elapsed_ms, 3) + " usable_frames=0";
}

std::optional<std::string> pool_phase_record(const PoolFrameDelivery& message, uint32_t attempt,
                                             double ready_to_drain_ms) {
  const std::string head = "worker=" + fmt_opt(message.worker) + " frame=" + std::to_string(message.frame);
  const std::string tail =
      " ready_ms=" + fmt_fixed(message.handed_off_ms, 3) + " ready_to_drain_ms=" + fmt_fixed(ready_to_drain_ms, 3);
  if (message.file) {
    const FileFrameTimings& f = *message.file;
    return "POOL_FILE_PHASE " + head + " attempt=" + std::to_string(attempt) + " read_ms=" + fmt_fixed(f.read_ms, 3) +
           " decode_ms=" + fmt_fixed(f.decode_ms, 3) + " read_bytes=" + std::to_string(f.file_bytes) +
           " outcome=" + file_decode_outcome_name(f.outcome) + tail;
  }
  if (message.memory) {
    const MemoryFrameTimings& m = *message.memory;
    return "POOL_MEMORY_PHASE " + head + " diagnostic=" + bool_text(message.null_output) +
           " producer_queue_ms=" + fmt_fixed(m.slot_wait_ms, 3) + " producer_copy_ms=" + fmt_fixed(m.copy_ms, 3) +
           " consumer_receive_ms=" + fmt_fixed(m.receive_ms, 3) + " received_ms=" + fmt_fixed(m.received_at_ms, 3) +
           tail;
  }
  return std::nullopt;
}

std::string pool_end_record(const PoolEndFigures& f) {
  return std::string("POOL optimized=") + bool_text(f.optimized) + " clients=" + std::to_string(f.clients) +
         " peak_active=" + std::to_string(f.peak_active) + " frames=" + std::to_string(f.frames_ingested) + "/" +
         std::to_string(f.expected_frames) + " useful_frames=" + std::to_string(f.useful_frames) +
         " first_ms=" + fmt_opt(f.first_ms) + " elapsed_ms=" + fmt_fixed(f.elapsed_ms, 1) +
         " read_decode_ms_sum=" + fmt_fixed(f.read_decode_ms_sum, 1) + " read_bytes=" + std::to_string(f.read_bytes) +
         " file_ds=" + std::to_string(f.file_ds) + " pixels=" + fmt_opt(f.pixels) +
         " launch_ms=" + fmt_fixed(f.launch_ms, 1) + " first_discovered_ms=" + fmt_opt(f.first_discovered_ms) +
         " first_decoded_ms=" + fmt_opt(f.first_decoded_ms) +
         " output_format=" + output_format_extension(f.output_format >= 2 ? WorkerOutputFormat::Memory
                                                                          : static_cast<WorkerOutputFormat>(f.output_format));
}

}  // namespace vel
