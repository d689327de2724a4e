// A rendered frame as aerender writes it out: 8-bit premultiplied RGBA rows
// from the top, and the conversions the file writers need.
#pragma once

#include <cstdint>
#include <vector>

#include "renderer.h"

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

// Every pixel of an image through unpremultiply_pixel.
FrameImage straight_image(const FrameImage& premultiplied);

}  // namespace sim
