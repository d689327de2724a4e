#include "panel/present/metal/metal_fit.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vel {

GpuScale gpu_scale(uint64_t w, uint64_t h, uint64_t vw, uint64_t vh, uint64_t pressure_percent) {
  GpuScale s;
  const float f = std::clamp(std::min(static_cast<float>(w) / static_cast<float>(vw),
                                      static_cast<float>(h) / static_cast<float>(vh)),
                             1.0f, 16.0f);
  s.lod = std::log2(f);
  const uint64_t shown = std::max<uint64_t>(static_cast<uint64_t>(std::lround(static_cast<double>(w) / f)), 1);
  if (4 * shown >= vw && 4 * shown < 3 * vw && pressure_percent == 100) s.sharpen = kGpuSharpen;
  const uint64_t wanted = static_cast<uint64_t>(std::ceil(s.lod)) + 1;
  const uint64_t levels = std::min<uint64_t>(wanted, std::bit_width(std::max(w, h)));
  s.levels = static_cast<uint32_t>(std::min<uint64_t>(levels, kGpuMaxLevels));
  s.mipmapped = levels > 1;
  return s;
}

FitDetail gpu_fit_detail(uint64_t w, float lod, uint64_t vw) {
  const uint64_t pw =
      std::max<uint64_t>(static_cast<uint64_t>(std::lround(static_cast<double>(w) / std::exp2(static_cast<double>(lod)))), 1);
  FitDetail d;
  d.detail_reason = w > pw ? "viewport-fit" : (w < vw ? "source-limited" : "native-detail");
  d.lod = lod;
  d.presented_width = static_cast<uint32_t>(std::min<uint64_t>(std::min(pw, w), UINT32_MAX));
  d.target_width = static_cast<uint32_t>(std::min<uint64_t>(vw, UINT32_MAX));
  return d;
}

uint64_t texture_cache_budget(uint64_t pressure_percent, std::optional<uint64_t> physical_memory) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  const uint64_t base = physical_memory ? 2 * std::clamp<uint64_t>(*physical_memory / 256, 8 * kMiB, 64 * kMiB)
                                        : 64 * kMiB;
  return pressure_percent * (base / 100) + pressure_percent * (base % 100) / 100;
}

std::optional<uint64_t> mip_chain_bytes(uint64_t width, uint64_t height, uint64_t levels) {
  uint64_t total = 0;
  for (uint64_t l = 0; l < levels; ++l) {
    uint64_t area = 0, bytes = 0;
    if (__builtin_mul_overflow(width, height, &area) || area >= (uint64_t{1} << 62) ||
        __builtin_mul_overflow(area, uint64_t{4}, &bytes) || __builtin_add_overflow(total, bytes, &total)) {
      return std::nullopt;
    }
    if (width == 1 && height == 1) {  // the rest of the chain is 1 × 1
      uint64_t rest = 0;
      if (__builtin_mul_overflow(levels - l - 1, uint64_t{4}, &rest) || __builtin_add_overflow(total, rest, &total)) {
        return std::nullopt;
      }
      return total;
    }
    width = std::max<uint64_t>(width / 2, 1);
    height = std::max<uint64_t>(height / 2, 1);
  }
  return total;
}

}  // namespace vel
