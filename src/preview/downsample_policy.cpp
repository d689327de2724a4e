#include "preview/downsample_policy.h"

#include <algorithm>

namespace vel {

uint32_t quality_downsample_factor(uint64_t quality) {
  static constexpr uint32_t kFactors[4] = {8, 4, 2, 1};
  return kFactors[std::min<uint64_t>(quality, 3)];
}

uint32_t downsampled_size(uint32_t size, uint32_t factor) {
  if (factor == 0) factor = 1;
  return size / factor + (size % factor != 0 ? 1 : 0);
}

uint32_t memory_downsample_factor(uint32_t width, uint32_t height, uint64_t frame_count, uint64_t budget_bytes) {
  if (width == 0 || height == 0 || frame_count == 0) return 1;
  for (uint32_t f = 1; f <= kMaxDownsample; f *= 2) {
    const unsigned __int128 need = static_cast<unsigned __int128>(downsampled_size(width, f)) *
                                   downsampled_size(height, f) * 4 * frame_count;
    if (need <= budget_bytes) return f;
  }
  return kMaxDownsample;
}

uint64_t preview_budget_bytes(uint64_t physical_bytes, uint32_t pressure_percent) {
  const uint64_t base = physical_bytes / 100 * 12;
  const uint64_t scaled = base / 100 * pressure_percent + base % 100 * pressure_percent / 100;
  return std::max<uint64_t>(scaled, 1);
}

uint32_t effective_downsample(const DownsamplePolicy& policy) {
  return std::clamp<uint32_t>(std::max(policy.quality_factor, policy.memory_factor), 1, kMaxDownsample);
}

}  // namespace vel
