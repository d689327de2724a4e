#include "cache/memory_pressure.h"

#include <algorithm>
#include <limits>

#include "core/machine.h"

namespace vel {

namespace {
constexpr uint64_t kSampleIntervalSeconds = 2;
constexpr uint8_t kRiseSamples = 15;
constexpr uint64_t kRiseMinPercent = 24;
}  // namespace

std::optional<uint64_t> available_percent(std::optional<uint64_t> available_bytes,
                                          std::optional<uint64_t> physical_bytes) {
  if (!available_bytes || !physical_bytes) return std::nullopt;
  uint64_t scaled = 0;
  if (__builtin_mul_overflow(*available_bytes, uint64_t{100}, &scaled)) scaled = std::numeric_limits<uint64_t>::max();
  return scaled / std::max<uint64_t>(*physical_bytes, 1);
}

uint64_t pressure_target(uint64_t percent) {
  if (percent < 8) return 50;
  if (percent < 16) return 75;
  return 100;
}

void apply_pressure_sample(PressureLevel& s, uint64_t percent) {
  const uint64_t target = pressure_target(percent);
  if (s.level == 0 || s.level > target) {
    // Scarcity wins at once, even across two steps.
    s.level = target;
    s.rise_streak = 0;
  } else if (percent >= kRiseMinPercent && target > std::max<uint64_t>(s.level, 50)) {
    if (s.rise_streak < 255) ++s.rise_streak;
    if (s.rise_streak >= kRiseSamples) {
      s.level = std::min<uint64_t>(std::max<uint64_t>(s.level, 50), 75) + 25;
      s.rise_streak = 0;
    }
  } else {
    s.rise_streak = 0;
  }
}

PressureSampler::PressureSampler(PercentSource source, Clock clock)
    : source_(std::move(source)), clock_(std::move(clock)) {}

uint64_t PressureSampler::percent() {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return published_.load(std::memory_order_relaxed);
  const uint64_t now = clock_();
  const uint64_t elapsed = last_sample_ns_ && now > *last_sample_ns_ ? now - *last_sample_ns_ : 0;
  const bool due = !last_sample_ns_ || elapsed / 1'000'000'000ull >= kSampleIntervalSeconds;
  if (due) {
    // The instant is kept even when the sample is invalid, so a failing
    // source is asked again only 2 seconds later.
    last_sample_ns_ = now;
    if (std::optional<uint64_t> pct = source_()) {
      apply_pressure_sample(state_, *pct);
      published_.store(state_.level, std::memory_order_relaxed);
    }
  }
  return state_.level == 0 ? 100 : state_.level;
}

uint64_t memory_pressure_percent() {
  static PressureSampler& sampler = *new PressureSampler(
      [] { return available_percent(available_memory_bytes(), physical_memory_bytes()); }, [] { return mono_ns(); });
  return sampler.percent();
}

}  // namespace vel
