// The units the pool's tests count time and memory in (time in nanoseconds,
// as the pool's monotonic instants).
#pragma once

#include <cstdint>

namespace vel {

inline constexpr uint64_t kS = 1'000'000'000;
inline constexpr uint64_t kMs = 1'000'000;
inline constexpr uint64_t kGiB = uint64_t{1} << 30;
inline constexpr uint64_t ms(uint64_t v) { return v * kMs; }

}  // namespace vel
