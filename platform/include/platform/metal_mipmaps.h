// The blit encoder's mipmap generation: each texel of a level the rounded
// mean of the 2 x 2 block under it in the level above, the last column or
// row repeated where the level above has only one.
#pragma once

#include <cstdint>

#include "platform/metal_shading.h"

namespace platform {

// Rows [row_begin, row_end) of `down` (down_width wide) from `up`.
void downsample_rows(const metal::TextureLevelView& up, uint8_t* down, uint32_t down_width, uint32_t row_begin,
                     uint32_t row_end);

// The same a texel and a channel at a time: the reference the vector form
// is tested against.
void downsample_rows_plain(const metal::TextureLevelView& up, uint8_t* down, uint32_t down_width,
                           uint32_t row_begin, uint32_t row_end);

}  // namespace platform
