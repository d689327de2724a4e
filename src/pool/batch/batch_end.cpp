#include "pool/batch/batch_end.h"

#include <new>
#include <utility>

#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/switches.h"
#include "pool/runtime/pool_perf_records.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

std::string pool_batch_report(const PoolPlan& plan, bool optimized, Instant now) {
  PoolEndFigures f;
  f.optimized = optimized;
  f.clients = plan.jobs.size();
  f.peak_active = plan.peak_active;
  f.frames_ingested = plan.ledger.delivered;
  f.expected_frames = plan.expected_frames;
  f.useful_frames = plan.ledger.useful_frames;
  f.first_ms = plan.first_ms;
  f.elapsed_ms = now >= plan.started_at ? static_cast<double>(now - plan.started_at) / 1e6 : 0.0;
  f.read_decode_ms_sum = plan.read_decode_ms_sum;
  f.read_bytes = plan.read_bytes;
  f.file_ds = plan.file_ds;
  f.pixels = plan.pixels;
  f.launch_ms = plan.setup_ms;
  f.first_discovered_ms = plan.first_discovered_ms;
  f.first_decoded_ms = plan.first_decoded_ms;
  f.output_format = plan.output_format;
  return pool_end_record(f);
}

void drop_pool_plan(PoolPlan& plan, Instant now) {
  if (plan.stop) plan.stop->store(true, std::memory_order_release);
  if (perf_enabled()) perf_log(pool_batch_report(plan, pipeline_optimize_enabled(), now));
  if (plan.second_stop) plan.second_stop->store(true, std::memory_order_relaxed);
  for (StartInFlight& s : plan.starting) s.start->abandon();
  plan.starting.clear();
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
