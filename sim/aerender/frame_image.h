// A rendered frame as aerender writes it out: 8-bit premultiplied RGBA rows
// from the top, and the conversions the file writers need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "render/renderer.h"

namespace sim {

struct FrameImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgba;  // premultiplied, width × 4 bytes a row
};

// The renderer's 0..1 premultiplied values to 8 bits, as the host's 8-bit
// worlds hold them.
FrameImage frame_image_from_render(const RenderedFrame& frame);

// One premultiplied pixel to straight colour (what Targa and Photoshop
// files with "Straight (Unmatted)" alpha hold): c × 255 / a rounded, at most
// 255; a fully transparent pixel is all zero.
void unpremultiply_pixel(const uint8_t premultiplied[4], uint8_t straight[4]);

// Pixels of four samples, `width` × 4 samples a row, to four bytes each,
// output rows `out_stride` bytes apart. A frame is mostly runs of equal
// pixels and equal rows: a row equal, bit for bit, to the row above takes
// that row's output and a pixel equal to the pixel before it takes that
// pixel's; only the others go through `convert`.
template <typename Sample, typename Convert>
void convert_pixels(const Sample* in, uint8_t* out, size_t out_stride, int32_t width, int32_t height,
                    Convert convert) {
  const size_t w = width > 0 ? static_cast<size_t>(width) * 4 : 0;
  for (size_t y = 0; y < (height > 0 ? static_cast<size_t>(height) : 0); ++y) {
    const Sample* src = in + y * w;
    uint8_t* dst = out + y * out_stride;
    if (y > 0 && std::memcmp(src, src - w, w * sizeof(Sample)) == 0) {
      std::memcpy(dst, dst - out_stride, w);
      continue;
    }
    for (size_t x = 0; x < w; x += 4) {
      if (x > 0 && std::memcmp(src + x, src + x - 4, 4 * sizeof(Sample)) == 0) {
        std::memcpy(dst + x, dst + x - 4, 4);
      } else {
        convert(src + x, dst + x);
      }
    }
  }
}

// Every pixel of an image through unpremultiply_pixel.
FrameImage straight_image(const FrameImage& premultiplied);

}  // namespace sim
