// Frame comparison for the 3D verification: an exact answer for equal
// frames and for frames of another size or length, and a bounded sample of
// at most 4096 pixels (the first differing one and up to 4095 evenly
// spaced ones) when the bytes differ, whatever the frame size.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "cache/frame_key.h"

namespace vel {

// One side of a comparison: a frame with the key and downsample it was
// rendered for.
struct ComparedFrame {
  FrameKey key;
  uint16_t downsample = 1;
  uint32_t width = 0;
  uint32_t height = 0;
  std::span<const uint8_t> bytes;  // RGBA8
};

struct PixelBounds {
  uint64_t min_x = 0;
  uint64_t min_y = 0;
  uint64_t max_x = 0;
  uint64_t max_y = 0;
  friend bool operator==(const PixelBounds&, const PixelBounds&) = default;
};

struct PixelDifference {
  uint64_t sampled_pixels = 0;
  uint64_t differing_pixels = 0;
  uint64_t alpha_only_pixels = 0;
  uint8_t max_channel_delta = 0;
  uint64_t total_channel_delta = 0;
  std::optional<PixelBounds> sampled_bounds;
};

struct FrameComparison {
  struct Equal {};
  struct Dimensions {
    uint32_t expected_width, expected_height, delivered_width, delivered_height;
  };
  struct Storage {
    uint64_t expected_bytes, delivered_bytes;
  };
  struct Pixels {
    uint64_t first_different_pixel;
    PixelDifference sample;
  };
  std::variant<Equal, Dimensions, Storage, Pixels> outcome;
};

// None when the keys or downsample factors differ (not comparable).
std::optional<FrameComparison> compare_with_cached_frame(const ComparedFrame& reference, const ComparedFrame& delivered);

}  // namespace vel
