// Byte sizes the tests of this folder count budgets and volumes in.
#pragma once

#include <cstdint>

namespace vel {

inline constexpr uint64_t kMiB = uint64_t{1} << 20;
inline constexpr uint64_t kGiB = uint64_t{1} << 30;

}  // namespace vel
