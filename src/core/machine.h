// Machine facts: physical memory, hardware threads, clocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vel {

// Physical memory in bytes, read once per process (sysconf); absent when the
// system cannot tell or says 0. Readable from any thread.
std::optional<uint64_t> physical_memory_bytes();

struct MemoryAndCpu {
  std::optional<uint64_t> memory_bytes;
  std::optional<uint32_t> cpu_count;  // hardware threads
};
// Computed once per process; either may be unknown.
MemoryAndCpu memory_and_cpu_count();

// Memory available to new work now ("MemAvailable" of /proc/meminfo), read
// on every call; absent when the file cannot be read or parsed.
std::optional<uint64_t> available_memory_bytes();
// The parser behind it, for tests: the text of /proc/meminfo.
std::optional<uint64_t> parse_mem_available(std::string_view meminfo);

// CLOCK_MONOTONIC in nanoseconds; 0 when the clock fails or overflows.
uint64_t mono_ns();
// Wall clock in milliseconds since the Unix epoch.
uint64_t unix_time_ms();

}  // namespace vel
