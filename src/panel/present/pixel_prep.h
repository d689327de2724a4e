// Pixel preparation for display: reduce a premultiplied RGBA8 frame by exact
// halves toward the view size, sharpen a small source before the view
// magnifies it, and flatten transparency onto a checkerboard into opaque
// pixels. Pure functions over caller-owned buffers; a caller keeps its
// scratch and output buffer from frame to frame, so a steady stream of
// frames of one size allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vel {

// Scratch of one preparing thread: two buffers the halving steps use in
// turn (B also holds the sharpened copy) and the column sums of the sharpen.
struct PresentScratch {
  std::vector<uint8_t> a;
  std::vector<uint8_t> b;
  std::vector<uint16_t> column_sums;
  // What it counts toward present_pixel_bytes.
  uint64_t counted_bytes() const;
};

// Pixels chosen for display: borrowed from the source or from the scratch.
struct PreparedImage {
  const uint8_t* pixels = nullptr;
  size_t length = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Makes `buffer` exactly `n` bytes long. A buffer more than four times (and
// more than 1 MiB) too large is freed first; growing allocates exactly `n`
// and zero-fills the new bytes. False when the allocation fails.
bool reserve_present_buffer(std::vector<uint8_t>& buffer, size_t n);

// Halves a w × h image into `out` (w / 2 × h / 2; an odd last column or row
// is dropped), each pixel the rounded mean of its 2 × 2 box, alpha included.
// None for w or h below 2, a source shorter than w × h × 4 or no memory.
std::optional<std::pair<uint32_t, uint32_t>> halve_image(const uint8_t* src, size_t src_len, uint32_t width,
                                                         uint32_t height, std::vector<uint8_t>& out);

// The image to show for a view of tw × th pixels: halved (up to four times)
// while the view is at most half the size, else sharpened when the view
// magnifies a source of at most 524288 pixels by more than 4/3 and at most 4
// and memory is not under pressure (`pressure_percent` 100), else the source
// itself. None for a bad size or when memory runs out.
std::optional<PreparedImage> prepare_present_pixels(const uint8_t* src, size_t src_len, uint32_t width,
                                                    uint32_t height, uint32_t target_width, uint32_t target_height,
                                                    PresentScratch& scratch, uint64_t pressure_percent);

// Composites premultiplied pixels over a checkerboard of greys 153 and 102
// with `cell`-pixel squares (cell 0: the source is opaque, colours are
// copied), writing opaque pixels, red and blue swapped when `swap_red_blue`.
// False unless the source holds w × h pixels and `dst_len` is exactly
// w × 4 × h.
bool flatten_on_checkerboard(const uint8_t* src, size_t src_len, uint32_t width, uint32_t height, uint32_t cell,
                             bool swap_red_blue, uint8_t* dst, size_t dst_len);

// The checker cell that keeps squares 12 screen pixels wide for an image
// `prepared_width` pixels wide shown `target_width` pixels wide.
uint32_t checker_cell(uint64_t prepared_width, uint64_t target_width);

}  // namespace vel
