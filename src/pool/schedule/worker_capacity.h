// How many `aerender` workers and decoder threads this machine carries, and
// which Speed levels the panel may offer. Each question has a pure form that
// takes the machine facts and switches as values (what the tests drive) and a
// process-wide form that reads them once (what the plug-in calls). Nothing
// here fails, logs or starts a process.
#pragma once

#include <cstdint>
#include <optional>

#include "pool/schedule/startup_context.h"

namespace vel {

// What the capacity depends on; either fact may be unknown.
struct MachineFacts {
  std::optional<uint64_t> memory_bytes;
  std::optional<uint32_t> hardware_threads;
};

// The worker count the user asked for through VELOCINTA_POOL_WORKERS.
struct RequestedWorkers {
  uint64_t count = 8;             // 1 … 24
  bool explicit_request = false;  // the variable held a valid number
  bool operator==(const RequestedWorkers&) const = default;
};

// Absent or not an unsigned decimal (an optional single "+", then digits
// only, within 64 bits): 8, not explicit. Otherwise explicit, with 0 raised
// to 1 and anything above 24 lowered to 24.
RequestedWorkers parse_requested_workers(const char* value);

// RAM one render engine is given: 3.5 GiB at the two smallest preview sizes
// (quality 0, 1), 5 GiB at the two largest (2, 3).
uint64_t engine_budget_bytes(uint64_t quality);

// Engines the machine holds: the smaller of the RAM bound
// ⌊min(RAM − 4 GiB, 60 % of RAM) / engine budget⌋ (at least 1) and the CPU
// bound max(⌊threads × 0.8⌋, 1), over the facts that are known; none when
// neither is.
std::optional<uint64_t> machine_engine_capacity(const MachineFacts& facts, uint64_t quality);

// The worker count the pool aims at, always at least 1. An explicit request
// is taken as it is; with measured admission the CPU bound alone caps it
// (1 when the thread count is unknown); otherwise the machine capacity does.
uint64_t worker_count_for(const RequestedWorkers& requested, const MachineFacts& facts, uint64_t quality,
                          bool measured_admission);

// 1 … 4: how many of the thresholds 4, 8, 16, 24 the machine capacity
// reaches (at least 1); 4 when nothing is known of the machine.
uint64_t speed_level_for(const MachineFacts& facts, uint64_t quality);

// 1 … 8 decoder threads for one batch, from the threads (2 when unknown) and
// how many frames of this size fit a decode budget of RAM / 50 (32 MiB …
// 512 MiB) scaled by the memory pressure percent.
uint32_t decode_threads_for(const MachineFacts& facts, std::optional<FrameDimensions> dimensions,
                            uint64_t downsample, uint64_t pressure_percent);

// Process-wide forms. The requested count is read from the environment on
// the first call and kept for the life of the process; the other facts
// (quality, measured admission, memory pressure) are read on every call.
// Callable from any thread.
uint64_t pool_worker_count();
uint64_t default_speed_level();
uint32_t decode_thread_count(std::optional<FrameDimensions> dimensions, uint64_t downsample);

}  // namespace vel
