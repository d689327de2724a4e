// Memory pressure: the share (50, 75 or 100 percent) of every RAM budget of
// the plug-in to use now. Sampled from the system at most every 2 seconds;
// a drop takes effect at once, a rise needs 15 consecutive samples with at
// least 24 % of memory available, one step of 25 at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace vel {

// The level and the rise streak that the samples move.
struct PressureLevel {
  uint64_t level = 0;       // 50, 75 or 100; 0 until the first valid sample
  uint8_t rise_streak = 0;  // consecutive samples that argued for a rise
};

// Share of physical memory available, in whole percent: available × 100 /
// max(physical, 1), the product saturating. Absent when either is unknown.
std::optional<uint64_t> available_percent(std::optional<uint64_t> available_bytes,
                                          std::optional<uint64_t> physical_bytes);

// The level a sample argues for: 50 below 8 %, 75 below 16 %, else 100.
uint64_t pressure_target(uint64_t available_percent);

// Folds one valid sample into the level.
void apply_pressure_sample(PressureLevel& state, uint64_t available_percent);

// The sampler behind memory_pressure_percent, with its sources injectable so
// that the rate limit and the lock behaviour can be exercised.
class PressureSampler {
 public:
  using PercentSource = std::function<std::optional<uint64_t>()>;  // absent: invalid sample
  using Clock = std::function<uint64_t()>;                         // monotonic ns

  PressureSampler(PercentSource source, Clock clock);

  // 50, 75 or 100 (100 until the first valid sample). Never waits for the
  // lock: a caller that finds it busy gets the last published level.
  uint64_t percent();

 private:
  PercentSource source_;
  Clock clock_;
  std::mutex mutex_;
  std::optional<uint64_t> last_sample_ns_;
  PressureLevel state_;
  std::atomic<uint64_t> published_{100};
};

// The process-wide level, sampled from /proc/meminfo (MemAvailable) against
// the physical memory. Callable from any thread; never blocks.
uint64_t memory_pressure_percent();

}  // namespace vel
