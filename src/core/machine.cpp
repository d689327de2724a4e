#include "core/machine.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace vel {

std::optional<uint64_t> physical_memory_bytes() {
  static const std::optional<uint64_t> bytes = []() -> std::optional<uint64_t> {
    long pages = sysconf(_SC_PHYS_PAGES);
    long page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return std::nullopt;
    uint64_t total = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &total)) return std::nullopt;
    if (total == 0) return std::nullopt;
    return total;
  }();
  return bytes;
}

namespace {
// The affinity mask's processor count; a mask wider than the fixed set (a
// machine of more than 1024 processors) is read into larger sets.
std::optional<uint32_t> affinity_cpu_count() {
  for (size_t cpus = CPU_SETSIZE; cpus <= (size_t{1} << 16); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) return std::nullopt;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    const int error = errno;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? std::optional<uint32_t>(static_cast<uint32_t>(count)) : std::nullopt;
    if (error != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}
}  // namespace

std::optional<uint32_t> usable_cpu_count() {
  if (std::optional<uint32_t> n = affinity_cpu_count()) return n;
  if (long n = sysconf(_SC_NPROCESSORS_ONLN); n > 0) return static_cast<uint32_t>(n);
  if (unsigned h = std::thread::hardware_concurrency(); h > 0) return h;
  return std::nullopt;
}

bool cpu_has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

MemoryAndCpu memory_and_cpu_count() { return MemoryAndCpu{physical_memory_bytes(), usable_cpu_count()}; }

std::optional<uint64_t> parse_mem_available(std::string_view text) {
  constexpr std::string_view kKey = "MemAvailable:";
  size_t at = text.find(kKey);
  if (at == std::string_view::npos || (at != 0 && text[at - 1] != '\n')) return std::nullopt;
  size_t i = at + kKey.size();
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  uint64_t kib = 0;
  auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), kib);
  if (ec != std::errc() || end == text.data() + i) return std::nullopt;
  std::string_view rest(end, static_cast<size_t>(text.data() + text.size() - end));
  if (rest.substr(0, 3) != " kB") return std::nullopt;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(kib, uint64_t{1024}, &bytes)) return std::nullopt;
  return bytes;
}

std::optional<uint64_t> available_memory_bytes() {
  std::ifstream in("/proc/meminfo");
  if (!in) return std::nullopt;
  std::ostringstream buf;
  buf << in.rdbuf();
  return parse_mem_available(buf.str());
}

uint64_t mono_ns() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0 || ts.tv_sec < 0) return 0;
  uint64_t ns = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(ts.tv_sec), uint64_t{1000000000}, &ns)) return 0;
  if (__builtin_add_overflow(ns, static_cast<uint64_t>(ts.tv_nsec), &ns)) return 0;
  return ns;
}

uint64_t unix_time_ms() {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) return 0;
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

}  // namespace vel
