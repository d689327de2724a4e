#include "frame_image.h"

#include <algorithm>

namespace sim {

FrameImage frame_image_from_render(const RenderedFrame& frame) {
  FrameImage image;
  image.width = frame.width;
  image.height = frame.height;
  image.rgba.resize(frame.rgba.size());
  std::transform(frame.rgba.begin(), frame.rgba.end(), image.rgba.begin(), [](float v) { return to_8bit(v); });
  return image;
}

void unpremultiply_pixel(const uint8_t premultiplied[4], uint8_t straight[4]) {
  const uint32_t a = premultiplied[3];
  straight[3] = static_cast<uint8_t>(a);
  for (int c = 0; c < 3; ++c) {
    straight[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (premultiplied[c] * 255u + a / 2) / a));
  }
}

}  // namespace sim
