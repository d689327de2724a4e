#include "frame_image.h"

#include <algorithm>

namespace sim {

FrameImage frame_image_from_render(const RenderedFrame& frame) {
  FrameImage image;
  image.width = frame.width;
  image.height = frame.height;
  image.rgba.resize(frame.rgba.size());
  if (frame.rgba.size() != static_cast<size_t>(frame.width) * frame.height * 4) {
    // Not a whole frame: sample by sample, as it comes.
    for (size_t i = 0; i < frame.rgba.size(); ++i) image.rgba[i] = to_8bit(frame.rgba[i]);
    return image;
  }
  convert_pixels(frame.rgba.data(), image.rgba.data(), static_cast<size_t>(frame.width) * 4, frame.width, frame.height,
                 [](const float* p, uint8_t* q) {
                   for (int c = 0; c < 4; ++c) q[c] = to_8bit(p[c]);
                 });
  return image;
}

void unpremultiply_pixel(const uint8_t premultiplied[4], uint8_t straight[4]) {
  const uint32_t a = premultiplied[3];
  straight[3] = static_cast<uint8_t>(a);
  for (int c = 0; c < 3; ++c) {
    straight[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (premultiplied[c] * 255u + a / 2) / a));
  }
}

FrameImage straight_image(const FrameImage& premultiplied) {
  FrameImage straight = premultiplied;
  if (premultiplied.rgba.size() != static_cast<size_t>(premultiplied.width) * premultiplied.height * 4) {
    for (size_t i = 0; i + 4 <= premultiplied.rgba.size(); i += 4) {
      unpremultiply_pixel(&premultiplied.rgba[i], &straight.rgba[i]);
    }
    return straight;
  }
  convert_pixels(premultiplied.rgba.data(), straight.rgba.data(), static_cast<size_t>(premultiplied.width) * 4,
                 premultiplied.width, premultiplied.height, unpremultiply_pixel);
  return straight;
}

}  // namespace sim
