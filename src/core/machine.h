// Machine facts: physical memory, the processors this process may use, clocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vel {

// Physical memory in bytes, read once per process (sysconf); absent when the
// system cannot tell or says 0. Readable from any thread.
std::optional<uint64_t> physical_memory_bytes();

// Processors this process may run on now: the size of its affinity mask
// (a host started under taskset or in a CPU-limited cgroup set gets fewer
// than the machine has), else the processors online. Read on every call, as
// the mask can be changed while the process runs; absent when neither can
// be read.
std::optional<uint32_t> usable_cpu_count();

struct MemoryAndCpu {
  std::optional<uint64_t> memory_bytes;
  // Processors this process may run on (usable_cpu_count): every thread or
  // worker count sized from the processors is sized from this.
  std::optional<uint32_t> cpu_count;
};
// Memory read once per process, processors on every call; either may be
// unknown.
MemoryAndCpu memory_and_cpu_count();

// Memory available to new work now ("MemAvailable" of /proc/meminfo), read
// on every call; absent when the file cannot be read or parsed.
std::optional<uint64_t> available_memory_bytes();
// The parser behind it, for tests: the text of /proc/meminfo.
std::optional<uint64_t> parse_mem_available(std::string_view meminfo);

// Whether the processor runs AVX2 code (the vector kernels built for it
// are chosen at run time); false off x86-64. Read once per process.
bool cpu_has_avx2();

// CLOCK_MONOTONIC in nanoseconds; 0 when the clock fails or overflows.
uint64_t mono_ns();
// Wall clock in milliseconds since the Unix epoch.
uint64_t unix_time_ms();

}  // namespace vel
