// The pool's per-tick housekeeping of processes and memory: warm engines
// that ended are reaped, what the memory sampler measured is taken in, a
// sampler is started while a batch runs without one, and the engines of
// clients that ended more than a warm window ago are swept. Never blocks.
// Main thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/result.h"
#include "pool/runtime/pool_runtime.h"

namespace vel {

inline constexpr uint64_t kWarmWindowNs = 20 * kNsPerSec;
inline constexpr uint64_t kSweepSpacingNs = 10 * kNsPerSec;
inline constexpr uint64_t kSamplerSpacingNs = kNsPerSec;
inline constexpr uint64_t kSampleSpanMaxNs = 3 * kNsPerSec;

// The processes and threads the tick reaches; tests pass stand-ins.
struct MemoryTickWorld {
  std::function<Status<>(std::vector<uint32_t>, ChannelSender<PoolMemorySample>)> start_sampler;
  std::function<bool()> any_aerender_running;
  std::function<void(std::vector<EndedClient>)> sweep_clients;
  std::function<size_t()> poll_children_to_reap;
  std::function<std::optional<uint64_t>()> physical_memory;
};
MemoryTickWorld live_memory_tick_world();

void pool_memory_tick(PoolRuntime& rt, Instant now, const MemoryTickWorld& world);
void pool_memory_tick(PoolRuntime& rt, Instant now);

// Validates the new CPU part and makes it the current one (entries sorted by
// pid); answers the CPU shares between the previous current part and it.
// A missing or refused part clears the current one and answers nothing.
std::optional<CpuShares> accept_pool_memory_sample(std::optional<PoolMemorySample>& current,
                                                   std::optional<SampleCpuPart> incoming);

// The memory peaks a complete sample raises: only when every client has a
// resident total above 0, the largest total and the sum of all (saturating).
struct SampleMemoryFigures {
  uint64_t largest = 0;
  uint64_t sum = 0;
  uint64_t clients = 0;
};
std::optional<SampleMemoryFigures> sample_memory_figures(const PoolMemorySample& sample);
void raise_memory_peaks(PoolRuntime& rt, const SampleMemoryFigures& figures);

// The ended clients the warm-window sweep may take now: ended at least 20 s
// ago, never the most recently ended one while the pool is on and active.
std::vector<size_t> sweep_candidates(const PoolRuntime& rt, Instant now);

// Steps `at` to the next entry whose client differs from its successor's
// (the last entry of a client's group); whether one was found.
bool next_group_change(std::span<const CpuEntry> entries, size_t& at);

// The "POOL_MEMORY …" PERF line of one sample.
std::string pool_memory_line(const PoolMemorySample& sample, std::optional<uint64_t> total_bytes,
                             uint64_t peak_engine_bytes);

}  // namespace vel
