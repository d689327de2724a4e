// What the worker-output decoders hand back, and the size rules they share:
// the caps every image must fit before anything is allocated, and the
// sampling step that reduces an image while it is decoded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "cache/buffer_pool.h"
#include "memout/argb_convert.h"

namespace vel {

inline constexpr uint64_t kMaxImageSide = 30000;
inline constexpr uint64_t kMaxImagePixels = 67'108'864;

// Rows from the top of the image down, width × bytes_per_pixel bytes each,
// no padding; channels R, G, B and, with 4 bytes per pixel, A. The buffer
// comes from the pixel buffer pool.
struct DecodedImage {
  ByteBuffer pixels;
  uint64_t width = 0;
  uint64_t height = 0;
  uint8_t bytes_per_pixel = 4;
};

// The decoders' per-pixel loops: SIMD blocks with a plain tail (Wide), or
// plain throughout, the reference the SIMD blocks are tested against.
enum class PixelPath : uint8_t { Wide, Plain };

// Both sides within 1..30000 and the area within 64 Mi pixels.
constexpr bool image_size_allowed(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxImageSide && height <= kMaxImageSide &&
         width * height <= kMaxImagePixels;
}

// One side after sampling by `step` (at least 1): the top-left pixel of each
// step × step block is kept, and at least one pixel always remains.
constexpr uint64_t sampled_side(uint64_t side, uint64_t step) { return std::max<uint64_t>(side / step, 1); }

// A buffer of exactly `len` bytes from the pixel buffer pool (twice the
// length as the largest capacity accepted), or nothing.
inline std::optional<ByteBuffer> take_image_buffer(uint64_t len) { return take_pooled_buffer(len, len * 2); }

// Straight colour c under alpha a, rounded to nearest: the rule every
// decoder premultiplies with, so that everything in the cache agrees.
constexpr uint8_t premultiply(uint8_t c, uint8_t a) { return premultiply_channel(c, a); }

}  // namespace vel
