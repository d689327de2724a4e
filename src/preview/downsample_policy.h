// Quality and downsample policy: which downsample factor the preview renders
// at. The Size menu's quality index gives one factor, the memory the frames
// would need gives another; the preview uses the coarser of the two.
#pragma once

#include <cstdint>

namespace vel {

inline constexpr uint32_t kMaxDownsample = 16;

// Quality index 0..3 (0 the smallest preview) → 8, 4, 2, 1. An index above
// 3 is taken as 3.
uint32_t quality_downsample_factor(uint64_t quality);

// The smallest factor 1, 2, 4, 8 or 16 at which `frame_count` frames of
// ceil(width / f) × ceil(height / f) RGBA8 pixels fit in `budget_bytes`;
// 16 when none fits. 1 when the size or the count is unknown (0).
uint32_t memory_downsample_factor(uint32_t width, uint32_t height, uint64_t frame_count, uint64_t budget_bytes);

// The RAM budget the cache gets: physical memory / 100 × 12, scaled by the
// memory pressure percentage; at least 1.
uint64_t preview_budget_bytes(uint64_t physical_bytes, uint32_t pressure_percent);

struct DownsamplePolicy {
  uint32_t quality_factor = 4;
  uint32_t memory_factor = 1;
};

// max(quality factor, memory factor), kept within 1 … 16.
uint32_t effective_downsample(const DownsamplePolicy& policy);

// Size in pixels of a frame rendered at `factor`: ceil(size / factor).
uint32_t downsampled_size(uint32_t size, uint32_t factor);

}  // namespace vel
