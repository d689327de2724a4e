// The producer's hot path: host ARGB8 rows (alpha, red, green, blue; rows
// `row_bytes` apart) into tightly packed RGBA8 rows of width × 4 bytes,
// optionally premultiplying colour by alpha on the way.
#pragma once

#include <cstdint>

#include "memout/memout_error.h"

namespace vel {

// c × a / 255 rounded to nearest: t = c × a + 128, (t + (t >> 8)) >> 8.
// Exact for every (c, a); a × 255 / 255 gives a back.
constexpr uint8_t premultiply_channel(uint8_t c, uint8_t a) {
  const uint32_t t = uint32_t{c} * a + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

// Converts `height` rows of `width` pixels from `src` (`src_len` bytes) into
// `dst` (`dst_len` bytes, which must be exactly width × height × 4). Checks
// every row's bounds before writing anything; never reads past `src_len`.
// Errors (all invalid data): "invalid output dimensions", "RGBA8 output
// exceeds 64 MiB", "RGBA destination size mismatch", "row offset overflow",
// "row end overflow", "ARGB row missing".
MemoutStatus convert_argb8_to_rgba8(const uint8_t* src, uint64_t src_len, uint64_t row_bytes, uint32_t width,
                                    uint32_t height, uint8_t* dst, uint64_t dst_len, bool premultiply);

// The kernels behind it, selectable so each can be checked against the
// scalar formula. Avx2 works in blocks of 16 and 8 pixels with a scalar tail.
enum class ConvertKernel { Scalar, Avx2 };
bool convert_kernel_available(ConvertKernel kernel);
MemoutStatus convert_argb8_to_rgba8_with(ConvertKernel kernel, const uint8_t* src, uint64_t src_len, uint64_t row_bytes,
                                         uint32_t width, uint32_t height, uint8_t* dst, uint64_t dst_len,
                                         bool premultiply);

}  // namespace vel
