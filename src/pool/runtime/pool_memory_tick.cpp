#include "pool/runtime/pool_memory_tick.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include "core/format.h"
#include "core/log.h"
#include "core/machine.h"
#include "core/switches.h"
#include "core/threads.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool/schedule/range_frames.h"

namespace vel {

namespace {

bool at_least_old(Instant then, Instant now, uint64_t span) { return now >= then && now - then >= span; }

void reap_warm_engines(PoolRuntime& rt, Instant now) {
  std::vector<WarmEngine> kept;
  kept.reserve(rt.warm_engines.size());
  for (WarmEngine& engine : rt.warm_engines) {
    const ChildPoll poll = poll_child(engine.child);
    if (poll.state == ChildState::Running || poll.state == ChildState::Failed) {
      kept.push_back(std::move(engine));
      continue;
    }
    rt.ended_clients.push_back({engine.child.pid(), now, engine.child.ended_boot_ns()});
    for (int fd : {engine.stdin_fd, engine.stdout_fd, engine.stderr_fd})
      if (fd >= 0) ::close(fd);
  }
  rt.warm_engines = std::move(kept);
}

bool client_still_running(const PoolRuntime& rt, uint32_t client) {
  if (!rt.plan) return false;
  for (const PoolJob& job : rt.plan->jobs)
    if (!job.finished && job.child.pid() == static_cast<pid_t>(client)) return true;
  return false;
}

void record_scheduler_sample(PoolRuntime& rt, const PoolMemorySample& sample, Instant now) {
  if (!sample.available_bytes) {
    clear_samples(rt.engine_samples);
    return;
  }
  EngineMemorySample s;
  for (const ClientUsage& c : sample.clients) {
    // A worker that ended while the listing ran has no tree left: it is no
    // engine of this sample, not an engine of 0 bytes that would spoil the
    // series every time a range ends.
    if (!c.resident_bytes && !client_still_running(rt, c.client_pid)) continue;
    s.engine_bytes.push_back(c.resident_bytes.value_or(0));
  }
  if (s.engine_bytes.empty() && !sample.clients.empty()) return;
  s.collection_start_ns = sample.started_ns;
  s.collection_end_ns = sample.ended_ns;
  s.frame_instant_ns = now;
  s.available_bytes = *sample.available_bytes;
  if (rt.plan) {
    const BatchFrameCounters counters{rt.plan->ledger.useful_frames, rt.plan->ledger.cohort_frames};
    s.frames = sampled_frame_count(counters, measured_admission_enabled(), adaptive_scheduler_enabled());
    for (const PoolJob& job : rt.plan->jobs)
      if (!job.finished) s.job_load += job.mfr_percent;
  }
  const bool accepted = record_engine_sample(rt.engine_samples, std::move(s));
  if (!rt.plan) return;
  rt.plan->projected_engine.reset();
  if (accepted) rt.plan->projected_engine = project_engine_memory(rt.engine_samples, now);
}

void take_sample(PoolRuntime& rt, PoolMemorySample sample, Instant now, const MemoryTickWorld& world) {
  const auto figures = sample_memory_figures(sample);
  if (figures) raise_memory_peaks(rt, *figures);
  if (sample.cpu) rt.cpu_listing_at = sample.ended_ns;
  else rt.cpu_listing_at.reset();
  if (auto shares = accept_pool_memory_sample(rt.memory_sample, sample.cpu)) {
    rt.pool_cpu_percent = shares->process_percent;
    rt.total_cpu_percent = shares->host_busy_percent;
    rt.cpu_sample_at = sample.ended_ns;
  } else {
    rt.cpu_sample_at.reset();
  }
  record_scheduler_sample(rt, sample, now);
  if (!perf_enabled()) return;
  if (!figures) {
    perf_log("POOL_MEMORY incomplete=true clients=" + std::to_string(sample.clients.size()));
    return;
  }
  const uint64_t peak = std::max(rt.engine_samples.peak_engine_bytes, rt.group_rss_peak);
  perf_log(pool_memory_line(sample, world.physical_memory ? world.physical_memory() : std::nullopt, peak));
}

void take_sampler_results(PoolRuntime& rt, Instant now, const MemoryTickWorld& world) {
  if (!rt.sampler) return;
  std::optional<PoolMemorySample> sample;
  switch (rt.sampler->try_recv(sample)) {
    case TryRecv::Empty:
      return;
    case TryRecv::Value:
      // One sample per run: the next run starts afresh.
      rt.sampler.reset();
      take_sample(rt, std::move(*sample), now, world);
      return;
    case TryRecv::Disconnected:
      rt.sampler.reset();
      if (rt.plan) rt.plan->projected_engine.reset();
      rt.memory_sample.reset();
      clear_samples(rt.engine_samples);
      return;
  }
}

void start_sampler(PoolRuntime& rt, Instant now, const MemoryTickWorld& world) {
  if (rt.sampler || !rt.plan) return;
  if (rt.sampler_started_at && !at_least_old(*rt.sampler_started_at, now, kSamplerSpacingNs)) return;
  std::vector<uint32_t> pids;
  for (const PoolJob& job : rt.plan->jobs)
    if (!job.finished && job.child.pid() > 0) pids.push_back(static_cast<uint32_t>(job.child.pid()));
  if (pids.empty()) return;
  rt.sampler_started_at = now;
  auto [tx, rx] = make_bounded_channel<PoolMemorySample>(1);
  if (auto started = world.start_sampler(std::move(pids), std::move(tx)); !started) {
    log_line("ERROR", "pool: memory sampler unavailable: " + started.error());
    return;
  }
  rt.sampler = std::move(rx);
}

void sweep_warm_window(PoolRuntime& rt, Instant now, const MemoryTickWorld& world) {
  if (rt.plan || !rt.warm_engines.empty()) return;
  const std::vector<size_t> candidates = sweep_candidates(rt, now);
  if (candidates.empty()) return;
  if (rt.last_sweep_at && !at_least_old(*rt.last_sweep_at, now, kSweepSpacingNs)) return;
  rt.last_sweep_at = now;
  if (world.any_aerender_running()) return;
  std::vector<EndedClient> swept, kept;
  size_t next = 0;
  for (size_t i = 0; i < rt.ended_clients.size(); ++i) {
    if (next < candidates.size() && candidates[next] == i) {
      swept.push_back(rt.ended_clients[i]);
      ++next;
    } else {
      kept.push_back(rt.ended_clients[i]);
    }
  }
  rt.ended_clients = std::move(kept);
  world.sweep_clients(std::move(swept));
}

}  // namespace

MemoryTickWorld live_memory_tick_world() {
  MemoryTickWorld w;
  w.start_sampler = [](std::vector<uint32_t> pids, ChannelSender<PoolMemorySample> out) -> Status<> {
    auto thread = spawn_named_thread("velocinta-pool-memory", [pids = std::move(pids), out = std::move(out)]() mutable {
      process_monitor(std::move(pids), std::move(out));
    });
    if (!thread) return err(thread.error());
    thread->detach();
    return ok_unit();
  };
  // Both walk every process of the machine: on the launch thread.
  w.any_aerender_running = [] { return aerender_running_as_last_seen(); };
  w.sweep_clients = [](std::vector<EndedClient> clients) { sweep_ended_clients_later(std::move(clients)); };
  w.poll_children_to_reap = [] { return poll_children_to_reap(); };
  w.physical_memory = [] { return physical_memory_bytes(); };
  return w;
}

void pool_memory_tick(PoolRuntime& rt, Instant now, const MemoryTickWorld& world) {
  if (world.poll_children_to_reap) world.poll_children_to_reap();
  reap_warm_engines(rt, now);
  take_sampler_results(rt, now, world);
  start_sampler(rt, now, world);
  sweep_warm_window(rt, now, world);
}

void pool_memory_tick(PoolRuntime& rt, Instant now) {
  static const MemoryTickWorld world = live_memory_tick_world();
  pool_memory_tick(rt, now, world);
}

std::optional<CpuShares> accept_pool_memory_sample(std::optional<PoolMemorySample>& current,
                                                   std::optional<SampleCpuPart> incoming) {
  if (!incoming) {
    current.reset();
    return std::nullopt;
  }
  SampleCpuPart& part = *incoming;
  bool valid = !part.entries.empty() && part.hardware_threads != 0 && part.ended_ns >= part.started_ns &&
               part.ended_ns - part.started_ns <= kSampleSpanMaxNs && part.host.busy <= part.host.total;
  for (const CpuEntry& e : part.entries) valid = valid && e.pid != 0 && !e.start_text.empty();
  if (valid) {
    auto by_pid = [](const CpuEntry& a, const CpuEntry& b) { return a.pid < b.pid; };
    if (part.entries.size() < 21) {
      for (size_t i = 1; i < part.entries.size(); ++i)
        for (size_t j = i; j > 0 && by_pid(part.entries[j], part.entries[j - 1]); --j)
          std::swap(part.entries[j], part.entries[j - 1]);
    } else {
      std::sort(part.entries.begin(), part.entries.end(), by_pid);
    }
    for (size_t i = 1; i < part.entries.size() && valid; ++i) valid = part.entries[i].pid != part.entries[i - 1].pid;
  }
  if (!valid) {
    current.reset();
    return std::nullopt;
  }
  PoolMemorySample next;
  next.started_ns = part.started_ns;
  next.ended_ns = part.ended_ns;
  next.cpu = std::move(part);
  std::optional<CpuShares> shares;
  if (current) shares = cpu_share_between_samples(*current, next);
  current = std::move(next);
  return shares;
}

std::optional<SampleMemoryFigures> sample_memory_figures(const PoolMemorySample& sample) {
  if (sample.clients.empty()) return std::nullopt;
  SampleMemoryFigures f;
  for (const ClientUsage& c : sample.clients) {
    if (!c.resident_bytes || *c.resident_bytes == 0) return std::nullopt;
    f.largest = std::max(f.largest, *c.resident_bytes);
    f.sum = f.sum > std::numeric_limits<uint64_t>::max() - *c.resident_bytes ? std::numeric_limits<uint64_t>::max()
                                                                            : f.sum + *c.resident_bytes;
  }
  f.clients = sample.clients.size();
  return f;
}

void raise_memory_peaks(PoolRuntime& rt, const SampleMemoryFigures& f) {
  rt.group_rss_peak = std::max(rt.group_rss_peak, f.largest);
  rt.worker_bytes_estimate = std::max(rt.worker_bytes_estimate, f.largest);
  if (f.sum > rt.total_rss_peak) {
    rt.total_rss_peak = f.sum;
    rt.concurrent_groups = f.clients;
  }
}

std::vector<size_t> sweep_candidates(const PoolRuntime& rt, Instant now) {
  std::optional<size_t> latest;
  if (rt.pool_enabled && rt.pool_active) {
    for (size_t i = 0; i < rt.ended_clients.size(); ++i)
      if (!latest || rt.ended_clients[i].detected_ns >= rt.ended_clients[*latest].detected_ns) latest = i;
  }
  std::vector<size_t> out;
  for (size_t i = 0; i < rt.ended_clients.size(); ++i) {
    if (latest && *latest == i) continue;
    if (at_least_old(rt.ended_clients[i].detected_ns, now, kWarmWindowNs)) out.push_back(i);
  }
  return out;
}

bool next_group_change(std::span<const CpuEntry> entries, size_t& at) {
  for (; at + 1 < entries.size(); ++at)
    if (entries[at].client_pid != entries[at + 1].client_pid) return true;
  at = entries.size();
  return false;
}

std::string pool_memory_line(const PoolMemorySample& sample, std::optional<uint64_t> total_bytes,
                             uint64_t peak_engine_bytes) {
  uint64_t rss_total = 0;
  for (const ClientUsage& c : sample.clients) {
    const uint64_t b = c.resident_bytes.value_or(0);
    rss_total = rss_total > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : rss_total + b;
  }
  const double collection_ms =
      sample.ended_ns >= sample.started_ns ? static_cast<double>(sample.ended_ns - sample.started_ns) / 1e6 : 0.0;
  return "POOL_MEMORY clients=" + std::to_string(sample.clients.size()) +
         " available_bytes=" + std::to_string(sample.available_bytes.value_or(0)) + " total_bytes=" +
         fmt_opt(total_bytes) + " rss_total_bytes=" + std::to_string(rss_total) +
         " peak_engine_bytes=" + std::to_string(peak_engine_bytes) + " collection_ms=" + fmt_fixed(collection_ms, 1);
}

}  // namespace vel
