#include "frame_image.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// A frame is mostly runs of equal pixels and equal rows. Pixel by pixel, a
// row equal, bit for bit, to the row above takes that row's output and a
// pixel equal to the pixel before it takes that pixel's; only the others go
// through `convert`, four input samples to four bytes.
template <typename Sample, typename Convert>
void convert_pixels(const Sample* in, uint8_t* out, int32_t width, int32_t height, Convert convert) {
  const size_t w = width > 0 ? static_cast<size_t>(width) * 4 : 0;
  for (size_t y = 0; y < (height > 0 ? static_cast<size_t>(height) : 0); ++y) {
    const Sample* src = in + y * w;
    uint8_t* dst = out + y * w;
    if (y > 0 && std::memcmp(src, src - w, w * sizeof(Sample)) == 0) {
      std::memcpy(dst, dst - w, w);
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

}  // namespace

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
  convert_pixels(frame.rgba.data(), image.rgba.data(), frame.width, frame.height, [](const float* p, uint8_t* q) {
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
  convert_pixels(premultiplied.rgba.data(), straight.rgba.data(), premultiplied.width, premultiplied.height,
                 unpremultiply_pixel);
  return straight;
}

}  // namespace sim
