// The developer grab: a rendered frame written as a binary PPM (P6, 8-bit
// RGB of the premultiplied pixels, that is over black), "velocinta_grab.ppm"
// in the log folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "core/result.h"

namespace vel {

// "P6\n<w> <h>\n255\n" then w × h RGB triples; empty when the pixel span is
// not w × h × 4 bytes or the size is 0.
std::vector<uint8_t> ppm_bytes(std::span<const uint8_t> rgba, uint32_t width, uint32_t height);

}  // namespace vel
