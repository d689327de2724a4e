// Photoshop files as the host's "Photoshop" output module writes them for
// the pool: version 1, RGB with a fourth (alpha) channel holding straight
// alpha, no resources or layers, the merged image raw or PackBits-packed,
// at 8 or 16 bits per channel. Without the alpha channel the colours are
// written as rendered (premultiplied: matted on black).
#pragma once

#include <cstdint>
#include <vector>

#include "frame_image.h"

namespace sim {

struct PsdWriteOptions {
  bool packbits = true;
  int depth = 8;  // 8 or 16 (16-bit samples are the 8-bit value × 257)
  bool alpha_channel = true;
};

std::vector<uint8_t> encode_psd(const FrameImage& image, const PsdWriteOptions& options);

// One row packed with PackBits: runs of 3 or more equal bytes as repeat
// packets, the rest as literals, at most 128 bytes a packet.
void pack_bits_row(const uint8_t* row, size_t length, std::vector<uint8_t>& out);

}  // namespace sim
