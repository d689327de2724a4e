// The inner loops of the pixel preparation, one row at a time, with vector
// forms for SSE2 and (chosen once at run time) AVX2. Internal to
// pixel_prep.cpp; the callers have checked every size.
#pragma once

#include <cstdint>

namespace vel {

// out[x] = rounded mean of the 2 × 2 box at (2x, row0/row1) for x < out_w.
void halve_row_pair(const uint8_t* row0, const uint8_t* row1, uint8_t* out, uint32_t out_w);

// One row over the checkerboard: squares of `cell` pixels starting light,
// or dark when `row_dark`; cell 0 adds no grey (an opaque source).
void flatten_row(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t cell, bool row_dark, bool swap);

}  // namespace vel
