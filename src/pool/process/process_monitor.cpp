#include "pool/process/process_monitor.h"

#include <unistd.h>

#include <cmath>
#include <limits>

#include "core/machine.h"
#include "core/switches.h"
#include "pool/process/client_tree.h"
#include "pool/process/proc_facts.h"

namespace vel {

bool monitor_wants_cpu() { return measured_admission_enabled() && adaptive_scheduler_enabled(); }

std::vector<ClientUsage> client_usages(std::span<const uint32_t> clients, const MemoryListing& memory,
                                       const std::optional<CpuListing>& cpu, uint32_t host_pid) {
  std::vector<ClientUsage> usages;
  usages.reserve(clients.size());
  for (uint32_t client : clients) {
    ClientUsage usage{client, std::nullopt, std::nullopt};
    // The tree is taken once and serves both figures: the same processes,
    // in the same order, for memory and CPU.
    const auto tree = memory.usable ? client_process_tree(memory, client, host_pid) : std::nullopt;
    if (tree) {
      uint64_t total = 0;
      bool known = true;
      for (size_t i : *tree) {
        const uint64_t rss = memory.rows[i].rss_bytes;
        if (rss == 0 || rss > std::numeric_limits<uint64_t>::max() - total) {
          known = false;
          break;
        }
        total += rss;
      }
      if (known) usage.resident_bytes = total;
      if (cpu) {
        std::vector<CpuEntry> entries;
        bool all_found = true;
        for (size_t i : *tree) {
          const auto it = cpu->find(memory.rows[i].pid);
          if (it == cpu->end()) {
            all_found = false;
            break;
          }
          entries.push_back({it->second.start_text, it->second.cpu_ns, client, memory.rows[i].pid});
        }
        if (all_found) usage.cpu = std::move(entries);
      }
    }
    usages.push_back(std::move(usage));
  }
  return usages;
}

std::optional<HostCpuTicks> parse_host_cpu_ticks(std::string_view text) {
  const size_t nl = text.find('\n');
  std::string_view line = text.substr(0, nl);
  if (line.substr(0, 4) != "cpu ") return std::nullopt;
  line.remove_prefix(4);
  uint64_t f[8] = {};
  for (uint64_t& v : f) {
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    size_t n = 0;
    while (n < line.size() && line[n] >= '0' && line[n] <= '9') ++n;
    if (n == 0 || n > 19) return std::nullopt;
    v = std::stoull(std::string(line.substr(0, n)));
    line.remove_prefix(n);
  }
  uint64_t total = 0;
  for (uint64_t v : f) {
    if (v > std::numeric_limits<uint64_t>::max() - total) return std::nullopt;
    total += v;
  }
  const uint64_t idle = f[3] + f[4];
  if (idle > total) return std::nullopt;
  return HostCpuTicks{total - idle, total};
}

PoolMemorySample take_pool_memory_sample(std::span<const uint32_t> clients, bool want_cpu) {
  PoolMemorySample sample;
  sample.started_ns = mono_ns();
  const MemoryListing memory = read_memory_listing();
  const std::optional<CpuListing> cpu = want_cpu ? read_cpu_listing() : std::nullopt;
  sample.clients = client_usages(clients, memory, cpu, static_cast<uint32_t>(::getpid()));
  sample.available_bytes = available_memory_bytes();
  std::optional<HostCpuTicks> host;
  if (want_cpu) {
    if (const auto stat = read_small_file("/proc/stat", 1 << 20)) host = parse_host_cpu_ticks(*stat);
  }
  sample.ended_ns = mono_ns();
  const auto threads = memory_and_cpu_count().cpu_count;
  if (!want_cpu || !host || !threads) return sample;
  SampleCpuPart part{{}, sample.started_ns, sample.ended_ns, *threads, *host};
  for (const ClientUsage& u : sample.clients) {
    if (!u.cpu) return sample;
    part.entries.insert(part.entries.end(), u.cpu->begin(), u.cpu->end());
  }
  sample.cpu = std::move(part);
  return sample;
}

void process_monitor(std::vector<uint32_t> clients, ChannelSender<PoolMemorySample> out) {
  out.send(take_pool_memory_sample(clients, monitor_wants_cpu()));
}

std::pair<bool, uint64_t> sum_counter_growth(std::span<const CpuEntry> previous, std::span<const CpuEntry> current) {
  uint64_t sum = 0;
  if (previous.size() != current.size()) return {false, 0};
  for (size_t i = 0; i < previous.size(); ++i) {
    const CpuEntry& a = previous[i];
    const CpuEntry& b = current[i];
    if (a.pid != b.pid || a.client_pid != b.client_pid || a.start_text != b.start_text || b.cpu_ns < a.cpu_ns) {
      return {false, sum};
    }
    const uint64_t growth = b.cpu_ns - a.cpu_ns;
    if (growth > std::numeric_limits<uint64_t>::max() - sum) return {false, sum};
    sum += growth;
  }
  return {true, sum};
}

std::optional<CpuShares> cpu_share_between_samples(const PoolMemorySample& previous, const PoolMemorySample& current) {
  if (current.ended_ns < previous.ended_ns) return std::nullopt;
  const uint64_t elapsed = current.ended_ns - previous.ended_ns;
  if (elapsed < 500'000'000 || elapsed > 3'000'000'000) return std::nullopt;
  if (current.started_ns < previous.ended_ns) return std::nullopt;
  if (!previous.cpu || !current.cpu) return std::nullopt;
  const SampleCpuPart& a = *previous.cpu;
  const SampleCpuPart& b = *current.cpu;
  if (a.hardware_threads != b.hardware_threads || a.hardware_threads == 0) return std::nullopt;
  const auto [matched, cpu_ns] = sum_counter_growth(a.entries, b.entries);
  if (!matched) return std::nullopt;
  if (b.host.total <= a.host.total || b.host.busy < a.host.busy) return std::nullopt;
  const uint64_t total_delta = b.host.total - a.host.total;
  const uint64_t busy_delta = b.host.busy - a.host.busy;
  if (busy_delta > total_delta) return std::nullopt;
  const double process = static_cast<double>(cpu_ns) / static_cast<double>(elapsed) /
                         static_cast<double>(a.hardware_threads) * 100.0;
  if (!std::isfinite(process) || process > 105.0) return std::nullopt;
  return CpuShares{process > 100.0 ? 100.0 : process,
                   static_cast<double>(busy_delta) / static_cast<double>(total_delta) * 100.0};
}

}  // namespace vel
