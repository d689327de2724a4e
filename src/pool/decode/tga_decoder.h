// Targa frames as pool workers write them: true colour, raw (type 2) or
// run-length (type 10), 24 or 32 bits, any row and column order, with or
// without the footer and extension area. Everything else is refused. The
// reader samples while it decodes and premultiplies straight alpha, so what
// comes out is ready for the cache. It logs nothing and never reads outside
// the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pool/decode/decoded_image.h"

namespace vel {

// How the fourth stored byte of a pixel is used.
enum class TgaAlphaMode : uint8_t {
  Ignore = 0,         // alpha becomes 255
  Straight = 1,       // colours are premultiplied by it
  Premultiplied = 2,  // copied as stored
};

// The validated facts of a Targa file; data_start..data_end lies inside it.
struct TgaHeader {
  uint64_t width = 0;
  uint64_t height = 0;
  uint8_t bytes_per_pixel = 0;  // 3 or 4
  size_t data_start = 0;
  size_t data_end = 0;
  TgaAlphaMode alpha = TgaAlphaMode::Ignore;
  bool top_to_bottom = false;
  bool right_to_left = false;
  bool run_length = false;
};

// Header, footer and extension area checked against the file; nothing when
// any field is outside what workers write.
std::optional<TgaHeader> parse_tga_header(std::span<const uint8_t> data);

// One stored pixel (B, G, R and, at 32 bits, A) to R, G, B, A. False for
// fewer than 3 bytes, or 3 bytes with an alpha mode other than Ignore.
bool convert_tga_pixel(const uint8_t* stored, size_t stored_bytes, TgaAlphaMode mode, uint8_t out[4]);

// The image sampled by `step`, 4 bytes per pixel, premultiplied; nothing
// for a step of 0 or any defect. The pixels come from the buffer pool.
// `path` chooses the SIMD or plain pixel loops, which give the same bytes.
std::optional<DecodedImage> decode_tga(std::span<const uint8_t> data, uint64_t step,
                                       PixelPath path = PixelPath::Wide);

}  // namespace vel
