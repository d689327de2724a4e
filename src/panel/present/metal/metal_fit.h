// The GPU path's arithmetic: the mip level and sharpening a view asks of a
// frame, the texture cache's budget, the bytes of a mip chain and the entry
// the cache gives up first. Pure functions, so the figures can be checked
// without a device.
#pragma once

#include <cstdint>
#include <optional>

#include "panel/present/present_telemetry.h"

namespace vel {

inline constexpr float kGpuSharpen = 0.35f;
inline constexpr uint32_t kGpuMaxLevels = 5;
inline constexpr size_t kTextureCacheEntries = 512;

struct GpuScale {
  float lod = 0.0f;      // log2 of the downscale factor (0 to 4)
  float sharpen = 0.0f;  // kGpuSharpen when the view magnifies, else 0
  uint32_t levels = 1;   // mip levels the texture is made with (at most 5)
  bool mipmapped = false;
};

// For a w × h frame in a vw × vh view (all non-zero); sharpening only at
// full memory budget (`pressure_percent` 100).
GpuScale gpu_scale(uint64_t w, uint64_t h, uint64_t vw, uint64_t vh, uint64_t pressure_percent);

// How the GPU path fitted a frame of width `w` drawn at `lod` into `vw`.
FitDetail gpu_fit_detail(uint64_t w, float lod, uint64_t vw);

// Texture cache budget in bytes: twice physical memory / 256 clamped to
// 8..64 MiB (64 MiB in all when memory is unknown), scaled by pressure.
uint64_t texture_cache_budget(uint64_t pressure_percent, std::optional<uint64_t> physical_memory);

// Bytes of `levels` RGBA8 levels from w × h, halving (never below 1); none
// on 64-bit overflow or when w × h reaches 2^62.
std::optional<uint64_t> mip_chain_bytes(uint64_t width, uint64_t height, uint64_t levels);

}  // namespace vel
