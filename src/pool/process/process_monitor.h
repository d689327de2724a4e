// The process monitor: the body of the short-lived "velocinta-pool-memory"
// thread. One run measures the resident memory (and, for the adaptive
// scheduler, the CPU time) of each client's process tree and the machine's
// available memory, sends one sample and ends. It kills and logs nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/bounded_channel.h"
#include "pool/process/process_listing.h"

namespace vel {

struct CpuEntry {
  std::string start_text;
  uint64_t cpu_ns = 0;
  uint32_t client_pid = 0;
  uint32_t pid = 0;
};

struct ClientUsage {
  uint32_t client_pid = 0;
  std::optional<uint64_t> resident_bytes;      // known for every process of the tree
  std::optional<std::vector<CpuEntry>> cpu;    // every process found in the CPU listing
};

struct HostCpuTicks {
  uint64_t busy = 0;
  uint64_t total = 0;
};

struct SampleCpuPart {
  std::vector<CpuEntry> entries;
  uint64_t started_ns = 0;
  uint64_t ended_ns = 0;
  uint32_t hardware_threads = 0;
  HostCpuTicks host;
};

struct PoolMemorySample {
  std::vector<ClientUsage> clients;
  std::optional<uint64_t> available_bytes;
  uint64_t started_ns = 0;  // monotonic
  uint64_t ended_ns = 0;
  std::optional<SampleCpuPart> cpu;
};

// The scheduler flag: both VELOCINTA_MEASURED_ADMISSION and
// VELOCINTA_ADAPTIVE_SCHEDULER on.
bool monitor_wants_cpu();

// The usage of each client from the listings (either may be unusable).
std::vector<ClientUsage> client_usages(std::span<const uint32_t> clients, const MemoryListing& memory,
                                       const std::optional<CpuListing>& cpu, uint32_t host_pid);

// The "cpu" line of /proc/stat: total = user + nice + system + idle + iowait
// + irq + softirq + steal, busy = total − idle − iowait.
std::optional<HostCpuTicks> parse_host_cpu_ticks(std::string_view proc_stat);

// One full sample, now.
PoolMemorySample take_pool_memory_sample(std::span<const uint32_t> clients, bool want_cpu);

// The thread body: one sample sent on `out`.
void process_monitor(std::vector<uint32_t> clients, ChannelSender<PoolMemorySample> out);

// Walks two CPU lists pairwise: while pid, client pid and start text match
// and the counter did not go down, adds its growth. Answers whether every
// entry matched, and the sum so far; an overflow is a mismatch.
std::pair<bool, uint64_t> sum_counter_growth(std::span<const CpuEntry> previous, std::span<const CpuEntry> current);

struct CpuShares {
  double process_percent = 0;  // of the whole machine, capped at 100
  double host_busy_percent = 0;
};

// The CPU shares between two samples 0.5 to 3 s apart that do not overlap
// and list the same processes; nothing otherwise.
std::optional<CpuShares> cpu_share_between_samples(const PoolMemorySample& previous, const PoolMemorySample& current);

}  // namespace vel
