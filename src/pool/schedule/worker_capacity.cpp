#include "pool/schedule/worker_capacity.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "cache/memory_pressure.h"
#include "core/machine.h"
#include "core/options.h"
#include "core/switches.h"

namespace vel {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kMostWorkers = 24;

uint64_t cpu_bound(uint32_t threads) { return std::max<uint64_t>(uint64_t{threads} * 80 / 100, 1); }

uint64_t ram_bound(uint64_t memory, uint64_t quality) {
  const uint64_t above_reserve = memory > 4 * kGiB ? memory - 4 * kGiB : 0;
  const uint64_t usable = std::min(above_reserve, memory / 100 * 60);
  return std::max<uint64_t>(usable / engine_budget_bytes(quality), 1);
}

// percent × budget / 100 without the product overflowing.
uint64_t scale_by_percent(uint64_t budget, uint64_t percent) {
  return percent * (budget / 100) + percent * (budget % 100) / 100;
}

uint64_t decode_frame_bytes(std::optional<FrameDimensions> dims, uint64_t downsample) {
  constexpr uint64_t kFallback = 32 * kMiB;
  if (!dims) return kFallback;
  const uint64_t d = std::max<uint64_t>(downsample, 1);
  const uint64_t w = (uint64_t{dims->width} + d - 1) / d;
  const uint64_t h = (uint64_t{dims->height} + d - 1) / d;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(w, h, &bytes) || __builtin_mul_overflow(bytes, uint64_t{4}, &bytes)) return kFallback;
  return std::max<uint64_t>(bytes, 1);
}

MachineFacts current_machine() {
  const MemoryAndCpu m = memory_and_cpu_count();
  return {m.memory_bytes, m.cpu_count};
}

uint64_t current_quality() { return panel_options().quality.load(std::memory_order_relaxed); }

}  // namespace

RequestedWorkers parse_requested_workers(const char* value) {
  if (value == nullptr) return {};
  std::string_view text(value);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return {};
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return {};
    if (__builtin_mul_overflow(n, uint64_t{10}, &n) || __builtin_add_overflow(n, uint64_t(c - '0'), &n)) return {};
  }
  return {std::clamp<uint64_t>(n, 1, kMostWorkers), true};
}

uint64_t engine_budget_bytes(uint64_t quality) {
  // The two largest preview sizes (2 and 3) render bigger frames.
  return (quality & ~uint64_t{1}) == 2 ? 5 * kGiB : 7 * kGiB / 2;
}

std::optional<uint64_t> machine_engine_capacity(const MachineFacts& facts, uint64_t quality) {
  std::optional<uint64_t> cap;
  if (facts.memory_bytes) cap = ram_bound(*facts.memory_bytes, quality);
  if (facts.hardware_threads) {
    const uint64_t cpu = cpu_bound(*facts.hardware_threads);
    cap = cap ? std::min(*cap, cpu) : cpu;
  }
  return cap;
}

uint64_t worker_count_for(const RequestedWorkers& requested, const MachineFacts& facts, uint64_t quality,
                          bool measured_admission) {
  const uint64_t wanted = std::max<uint64_t>(requested.count, 1);
  if (requested.explicit_request) return wanted;
  if (measured_admission) {
    if (!facts.hardware_threads) return 1;
    return std::min(wanted, cpu_bound(*facts.hardware_threads));
  }
  const std::optional<uint64_t> cap = machine_engine_capacity(facts, quality);
  return cap ? std::min(wanted, *cap) : wanted;
}

uint64_t speed_level_for(const MachineFacts& facts, uint64_t quality) {
  const std::optional<uint64_t> cap = machine_engine_capacity(facts, quality);
  if (!cap) return 4;
  uint64_t level = 0;
  for (uint64_t threshold : {4, 8, 16, 24}) level += *cap >= threshold ? 1 : 0;
  return std::max<uint64_t>(level, 1);
}

uint32_t decode_threads_for(const MachineFacts& facts, std::optional<FrameDimensions> dimensions,
                            uint64_t downsample, uint64_t pressure_percent) {
  const uint64_t n = facts.hardware_threads.value_or(2);
  if (n < 5) return 1;
  const uint64_t budget =
      facts.memory_bytes ? std::clamp<uint64_t>(*facts.memory_bytes / 50, 32 * kMiB, 512 * kMiB) : 171'798'691;
  const uint64_t frames = scale_by_percent(budget, pressure_percent) / decode_frame_bytes(dimensions, downsample);
  const uint64_t by_frames = std::max<uint64_t>((frames > 2 ? frames - 2 : 0) / 3, 1);
  return static_cast<uint32_t>(std::min({n / 5, std::max<uint64_t>(n - 2, 1), by_frames, uint64_t{8}}));
}

uint64_t pool_worker_count() {
  static const RequestedWorkers requested = [] {
    const std::optional<std::string> v = env_value("VELOCINTA_POOL_WORKERS");
    return parse_requested_workers(v ? v->c_str() : nullptr);
  }();
  return worker_count_for(requested, current_machine(), current_quality(), measured_admission_enabled());
}

uint64_t default_speed_level() { return speed_level_for(current_machine(), current_quality()); }

uint32_t decode_thread_count(std::optional<FrameDimensions> dimensions, uint64_t downsample) {
  return decode_threads_for(current_machine(), dimensions, downsample, memory_pressure_percent());
}

}  // namespace vel
