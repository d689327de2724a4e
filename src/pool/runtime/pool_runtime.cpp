#include "pool/runtime/pool_runtime.h"

#include <unistd.h>

#include <utility>

#include "core/format.h"
#include "core/log.h"
#include "core/switches.h"
#include "pool/process/launch_thread.h"
#include "pool/runtime/engine_prewarm.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

uint64_t range_frame_count(int64_t start, int64_t end) {
  if (end <= start) return 1;
  uint64_t diff = static_cast<uint64_t>(end) - static_cast<uint64_t>(start);
  return diff == UINT64_MAX ? UINT64_MAX : diff + 1;
}

std::string debug_text(const StartupContext& c) {
  std::string dims = c.dimensions ? "Some(FrameDimensions { width: " + std::to_string(c.dimensions->width) +
                                        ", height: " + std::to_string(c.dimensions->height) + " })"
                                  : "None";
  return "StartupContext { output_format: " + std::to_string(c.output_format) + ", dimensions: " + dims +
         ", file_ds: " + std::to_string(c.file_ds) + ", comp_3d: " + (c.comp_3d ? "true" : "false") +
         ", identity: " + std::to_string(c.identity) + " }";
}

PoolRuntime new_pool_runtime(uint8_t requested_output) {
  PoolRuntime rt;
  rt.requested_output = requested_output;
  rt.selected_output = requested_output;
  reset_pool_plan(rt);
  return rt;
}

void reset_pool_plan(PoolRuntime& rt) {
  if (rt.plan) {
    reset_scheduler_trial(rt.plan->scheduler);
    rt.plan->pending_a.reset();
    rt.plan->pending_b.reset();
    rt.plan->counter_a = 0;
    rt.plan->counter_b = 0;
  }
  reset_scheduler_trial(rt.carried_scheduler);
  rt.memory_sample.reset();
  rt.batch_identity.reset();
  rt.cpu_sample_at.reset();
  rt.cpu_listing_at.reset();
  rt.worker_bytes_estimate = 0;
  rt.pump_flag = false;
}

std::optional<PoolPlan> take_pool_plan(PoolRuntime& rt, Instant now) {
  std::optional<PoolPlan> plan = std::move(rt.plan);
  rt.plan.reset();
  if (!plan) return plan;
  if (rt.batch_identity && plan->context == *rt.batch_identity) {
    rt.carried_scheduler = carried_scheduler_trial(plan->scheduler);
    rt.summary = plan->summary;
  }
  if (plan->completed) {
    bool all_cancelled = true;
    for (const auto& job : plan->jobs) all_cancelled = all_cancelled && job_cancelled(job);
    rt.last_plan_progress = {plan->progress_a, plan->progress_b, all_cancelled};
  } else if (plan->ledger.delivered == 0 && plan->frames_seen.empty()) {
    double ms = now >= plan->started_at ? static_cast<double>(now - plan->started_at) / 1e6 : 0.0;
    record_first_delivery_ms(rt.first_delivery_history, plan->context, false, ms);
    if (perf_enabled()) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f", ms);
      perf_log(std::string("POOL_FIRST_DELIVERY completed=false elapsed_ms=") + buf +
               " context=" + debug_text(plan->context));
    }
  }
  return plan;
}

bool job_cancelled(const PoolJob& job) {
  return job.finished && (!job.reader_flags || (*job.reader_flags)[0].load(std::memory_order_acquire));
}

void kill_unfinished_jobs(PoolPlan& plan) {
  std::vector<WorkerChild*> children;
  for (auto& job : plan.jobs)
    if (!job.finished) children.push_back(&job.child);
  if (!children.empty()) end_pool_workers(children);
  for (auto& job : plan.jobs) {
    if (job.finished) continue;
    job.finished = true;
    if (job.reader_flags) (*job.reader_flags)[0].store(true, std::memory_order_release);
  }
}

void kill_warm_engines(PoolRuntime& rt) {
  std::vector<WorkerChild*> children;
  for (auto& engine : rt.warm_engines) children.push_back(&engine.child);
  if (!children.empty()) end_pool_workers(children);
  for (auto& engine : rt.warm_engines) {
    for (int fd : {engine.stdin_fd, engine.stdout_fd, engine.stderr_fd})
      if (fd >= 0) ::close(fd);
  }
  rt.warm_engines.clear();
}

void sweep_ended_clients(std::vector<EndedClient> clients) {
  std::vector<EngineClient> engines_of;
  engines_of.reserve(clients.size());
  // The verified rule: once a client is reaped its pid may belong to
  // someone else's aerender, whose engines are told apart by their parent
  // and their start before this client's end.
  // A client whose end is unknown was killed unreaped: the poll that reaps
  // it sweeps its engines, by its end.
  for (const EndedClient& c : clients)
    if (c.ended_boot_ns) engines_of.push_back({c.pid, c.ended_boot_ns});
  if (!engines_of.empty()) kill_engines_of_clients(engines_of);
}

void sweep_ended_clients_later(std::vector<EndedClient> clients) {
  if (clients.empty()) return;
  run_on_launch_thread([clients = std::move(clients)]() mutable { sweep_ended_clients(std::move(clients)); });
}

bool aerender_running_as_last_seen() {
  static std::atomic<int> seen{-1};  // -1 not looked yet, else 0 or 1
  run_on_launch_thread([] { seen.store(any_aerender_running() ? 1 : 0, std::memory_order_relaxed); });
  return seen.load(std::memory_order_relaxed) != 0;
}

void stop_pool(PoolRuntime& rt, Instant now) {
  reset_pool_plan(rt);
  rt.handoff_deadline.reset();
  rt.handoff_companion.reset();
  rt.ramp_window_ns = 0;
  rt.ramp_increment_ns = 0;
  rt.ramp_started.reset();
  rt.ramp_open = false;
  rt.ramp_active = false;
  rt.delivery_descriptor.reset();
  rt.gpu_contended = false;
  if (!rt.ended_clients.empty() && !aerender_running_as_last_seen())
    sweep_ended_clients_later(std::exchange(rt.ended_clients, {}));
  (void)take_pool_plan(rt, now);  // dropping the plan ends its batch
  kill_warm_engines(rt);
  rt.snapshot_file.reset();
  rt.launch_debounce_from.reset();
  rt.snapshot_path.reset();
  rt.snapshot_generation += 1;
  rt.save_required = false;
}

void end_pool_session_files(PoolRuntime& rt) {
  kill_warm_engines(rt);
  // Only the folder's holder cleans it: what is there may be another host's,
  // in use.
  const auto dir = pool_directory_path();
  const bool held = dir && pool_folder_held();
  if (!held && rt.snapshot_file) rt.snapshot_file->keep_file();
  rt.snapshot_file.reset();
  rt.snapshot_path.reset();
  if (held) {
    if (auto pool = open_pool_folder(*dir)) remove_warmup(pool.value()->get());
  }
}

void reset_group_rss_peak(PoolRuntime& rt) {
  rt.group_rss_peak = 0;
  rt.total_rss_peak = 0;
  rt.concurrent_groups = 0;
  rt.rss_window_started.reset();
}

void disable_pool_for_session(PoolRuntime& rt, std::string_view reason) {
  if (rt.disabled_for_session) return;
  rt.disabled_for_session = true;
  log_line("ERROR", std::string("pool: DÉSACTIVÉ pour la session — ") + std::string(reason));
}

}  // namespace vel
