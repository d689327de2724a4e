// Conversion of a host image buffer to the plug-in's one pixel form:
// premultiplied RGBA8, rows of width × 4 bytes, no padding.
//
// The host hands worlds whose pixels are four channels in the order alpha,
// red, green, blue, at 8 bits (0..255), 16 bits (0..32768, native byte
// order) or 32-bit floats (0..1) per channel, with rows of any length at
// least the pixel bytes of a row, and alpha either straight or premultiplied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/result.h"

namespace vel {

enum class SourceDepth : uint8_t { Bpc8 = 8, Bpc16 = 16, Bpc32 = 32 };
enum class AlphaKind : uint8_t { Straight, Premultiplied };

// Bytes of one source pixel at a depth (4, 8 or 16).
constexpr size_t source_pixel_bytes(SourceDepth d) {
  return d == SourceDepth::Bpc8 ? 4 : d == SourceDepth::Bpc16 ? 8 : 16;
}

// A borrowed view of the host's pixels; valid only while the host keeps the
// world checked out.
struct HostPixels {
  const uint8_t* base = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  int64_t row_bytes = 0;
  SourceDepth depth = SourceDepth::Bpc8;
  AlphaKind alpha = AlphaKind::Straight;
};

// The 16-bit channel maximum of the host's deep worlds.
inline constexpr uint32_t kMax16 = 32768;

// Checks a view before any pixel is read: a non-null base, a non-empty
// size whose RGBA8 length fits in memory arithmetic, and rows long enough to
// hold a row of pixels. Answers the RGBA8 length (width × height × 4).
Result<size_t> checked_rgba_length(const HostPixels& src);

// Converts rows [row_begin, row_end) of a checked view into `dst`, which
// points at the first byte of the whole RGBA8 frame. Premultiplied sources
// have colours clamped to their alpha; 16-bit values above 32768 and floats
// outside 0..1 (NaN as 0) are clamped. Rounds to nearest, halves up.
void convert_rows(const HostPixels& src, uint32_t row_begin, uint32_t row_end, uint8_t* dst);

// The forms of the 32-bit conversion: pixel after pixel (the reference every
// other form must equal byte for byte), or two (SSE2) or four (AVX2, when the
// processor has it) channels of doubles at a time. `convert_rows` takes the
// fastest this processor has.
enum class Convert32Kernel : uint8_t { Plain, Sse2, Avx2 };
bool convert32_kernel_available(Convert32Kernel kernel);
// `convert_rows` for a 32-bit view by the form given (one this processor
// lacks counts as plain); does nothing for other depths.
void convert_rows32_with(Convert32Kernel kernel, const HostPixels& src, uint32_t row_begin, uint32_t row_end,
                         uint8_t* dst);

// Pixels one "velocinta-convert" band should hold at least: starting a
// thread costs tens of microseconds (far more on a loaded machine), so a
// band must be worth about a millisecond of conversion. 8-bit worlds
// convert several times faster than deep ones.
inline constexpr uint64_t kBandPixels8 = 2u << 20;
inline constexpr uint64_t kBandPixelsDeep = 256u << 10;

// How many bands a frame is cut into: one per band's worth of pixels, at
// most one per usable processor, at most 8 and at most one per 64 rows.
uint32_t convert_band_count(uint32_t width, uint32_t height, SourceDepth depth, uint32_t processors);
// The same for the processors this process may run on now.
uint32_t convert_band_count_here(uint32_t width, uint32_t height, SourceDepth depth);

// Converts a whole checked view into `dst` (`dst_len` must be its RGBA8
// length), on scoped "velocinta-convert" threads for large frames; all
// threads are joined before it returns. A band whose thread cannot start is
// converted on the calling thread. Fails only on a bad view or length.
Status<> convert_to_rgba(const HostPixels& src, uint8_t* dst, size_t dst_len);

}  // namespace vel
