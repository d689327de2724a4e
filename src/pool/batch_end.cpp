#include "pool/batch_end.h"

#include <new>
#include <utility>

#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/switches.h"
#include "pool/pool_runtime_ops.h"

namespace vel {

const char* output_format_name(uint8_t output_format) {
  switch (output_format) {
    case kOutputPsd:
      return "psd";
    case kOutputTga:
      return "tga";
    default:
      return "vnm";
  }
}

std::string pool_batch_report(const PoolPlan& plan, bool optimized, Instant now) {
  const double elapsed_ms = now >= plan.started_at ? static_cast<double>(now - plan.started_at) / 1e6 : 0.0;
  std::string line = "POOL optimized=";
  line += optimized ? "true" : "false";
  line += " clients=" + std::to_string(plan.jobs.size());
  line += " peak_active=" + std::to_string(plan.peak_active);
  line += " frames=" + std::to_string(plan.frames_ingested) + "/" + std::to_string(plan.expected_frames);
  line += " useful_frames=" + std::to_string(plan.useful_frames);
  line += " first_ms=" + fmt_opt(plan.first_ms);
  line += " elapsed_ms=" + fmt_fixed(elapsed_ms, 1);
  line += " read_decode_ms_sum=" + fmt_fixed(plan.read_decode_ms_sum, 1);
  line += " read_bytes=" + std::to_string(plan.read_bytes);
  line += " file_ds=" + std::to_string(plan.file_ds);
  line += " pixels=" + fmt_opt(plan.pixels);
  line += " launch_ms=" + fmt_fixed(plan.setup_ms, 1);
  line += " first_discovered_ms=" + fmt_opt(plan.first_discovered_ms);
  line += " first_decoded_ms=" + fmt_opt(plan.first_decoded_ms);
  line += " output_format=";
  line += output_format_name(plan.output_format);
  return line;
}

void drop_pool_plan(PoolPlan& plan, Instant now) {
  if (plan.stop) plan.stop->store(true, std::memory_order_release);
  if (perf_enabled()) perf_log(pool_batch_report(plan, pipeline_optimize_enabled(), now));
  if (plan.second_stop) plan.second_stop->store(true, std::memory_order_relaxed);
  kill_unfinished_jobs(plan);
}

PoolPlan& PoolPlan::operator=(PoolPlan&& other) noexcept {
  if (this != &other) {
    this->~PoolPlan();
    new (this) PoolPlan(std::move(other));
  }
  return *this;
}

PoolPlan::~PoolPlan() {
  if (ownership.armed) drop_pool_plan(*this, mono_ns());
}

}  // namespace vel
