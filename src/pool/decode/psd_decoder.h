// Photoshop frames as pool workers write them: version 1, RGB, 8 or 16 bits,
// raw or PackBits, three or more channels of which the first four are used
// (the fourth is alpha). Every length is checked against the file before it
// is used; anything else is refused. Straight alpha is premultiplied on the
// way out, since the cache holds premultiplied frames only. Nothing here logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pool/decode/decoded_image.h"

namespace vel {

struct PsdHeader {
  uint32_t channels = 0;  // 3..56
  uint64_t width = 0;
  uint64_t height = 0;
  uint32_t depth = 0;        // 8 or 16
  uint32_t compression = 0;  // as stored; the decoders accept 0 (raw) and 1 (PackBits)
  size_t data_offset = 0;    // just after the compression word
};

// The fixed header, the three skipped sections and the compression word;
// nothing when a field is refused or a read would pass the end.
std::optional<PsdHeader> parse_psd_header(std::span<const uint8_t> data);

// Appends one byte per sample to `out` (the high byte of a big-endian
// 16-bit sample); `out` holds plane.size() / bytes_per_sample bytes. False
// for a sample size other than 1 or 2, or an odd 16-bit plane.
bool plane_to_8bit(std::span<const uint8_t> plane, unsigned bytes_per_sample, uint8_t* out);

// Output row of `out_width` RGBA pixels from 3 or 4 plane rows: pixel x takes
// the byte at x × stride of each plane. With 4 planes the colour is
// premultiplied by the fourth; with 3 alpha is left as the row holds it.
// False when a plane row is too short for the last sample.
bool interleave_planes_row(uint8_t* out, uint64_t out_width, const std::span<const uint8_t>* planes,
                           size_t stride, size_t plane_count);

// Full size; 3 bytes per pixel with three used planes, 4 (premultiplied)
// with four.
std::optional<DecodedImage> decode_psd(std::span<const uint8_t> data, PixelPath path = PixelPath::Wide);

// Sampled by `step` while decoding: only the sampled rows are unpacked, the
// others merely checked. Always 4 bytes per pixel, premultiplied. Either
// path gives the same bytes; Plain is the reference for the SIMD one.
std::optional<DecodedImage> decode_psd_sampled(std::span<const uint8_t> data, uint64_t step,
                                               PixelPath path = PixelPath::Wide);

}  // namespace vel
