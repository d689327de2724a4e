#include "cache/comparison.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vel {

namespace {

constexpr uint64_t kSampleCount = 4095;

void sample_pixel(const ComparedFrame& ref, const ComparedFrame& got, uint64_t p, PixelDifference& d) {
  const size_t len = ref.bytes.size();
  if (p >= len / 4) return;  // the pixel's 4 bytes must lie inside the buffer
  const uint64_t off = p * 4;
  ++d.sampled_pixels;
  const uint8_t* a = ref.bytes.data() + off;
  const uint8_t* b = got.bytes.data() + off;
  if (std::memcmp(a, b, 4) == 0) return;
  ++d.differing_pixels;
  for (int c = 0; c < 4; ++c) {
    const uint8_t delta = static_cast<uint8_t>(std::abs(int{a[c]} - int{b[c]}));
    d.max_channel_delta = std::max(d.max_channel_delta, delta);
    d.total_channel_delta += delta;
  }
  if (a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) ++d.alpha_only_pixels;
  const uint64_t w = got.width;
  const uint64_t x = p % w;
  const uint64_t y = p / w;
  if (!d.sampled_bounds) {
    d.sampled_bounds = PixelBounds{x, y, x, y};
  } else {
    PixelBounds& b2 = *d.sampled_bounds;
    b2.min_x = std::min(b2.min_x, x);
    b2.min_y = std::min(b2.min_y, y);
    b2.max_x = std::max(b2.max_x, x);
    b2.max_y = std::max(b2.max_y, y);
  }
}

}  // namespace

std::optional<FrameComparison> compare_with_cached_frame(const ComparedFrame& reference, const ComparedFrame& delivered) {
  if (reference.key != delivered.key || reference.downsample != delivered.downsample) return std::nullopt;
  if (reference.width != delivered.width || reference.height != delivered.height) {
    return FrameComparison{FrameComparison::Dimensions{reference.width, reference.height, delivered.width, delivered.height}};
  }
  const size_t len = reference.bytes.size();
  if (len != delivered.bytes.size()) {
    return FrameComparison{FrameComparison::Storage{len, delivered.bytes.size()}};
  }
  auto mismatch = std::mismatch(reference.bytes.begin(), reference.bytes.end(), delivered.bytes.begin());
  if (mismatch.first == reference.bytes.end()) return FrameComparison{FrameComparison::Equal{}};

  const uint64_t first_byte = static_cast<uint64_t>(mismatch.first - reference.bytes.begin());
  const uint64_t p0 = first_byte / 4;
  const uint64_t n = len / 4;
  const uint64_t m = std::min(n, kSampleCount);
  PixelDifference diff;
  if (delivered.width != 0 && n != 0) {
    sample_pixel(reference, delivered, p0, diff);
    for (uint64_t k = 0; k < m; ++k) {
      unsigned __int128 product = static_cast<unsigned __int128>(k) * n;
      if (product > UINT64_MAX) continue;
      const uint64_t p = static_cast<uint64_t>(product) / m;
      if (p != p0) sample_pixel(reference, delivered, p, diff);
    }
  }
  return FrameComparison{FrameComparison::Pixels{p0, diff}};
}

}  // namespace vel
