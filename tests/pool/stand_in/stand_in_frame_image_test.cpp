// The stand-in aerender's conversions of a rendered frame reuse the bytes of
// a row equal to the row above and of a pixel equal to the pixel before it:
// the result must be that of converting every sample on its own.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "frame_image.h"

namespace {

struct Case {
  const char* what;
  int32_t width;
  int32_t height;
  std::vector<float> rgba;
};

// Pixels that are equal as values but not bit for bit (0 and -0), a row
// equal to the one above, one differing in its last sample only, and runs.
std::vector<Case> cases() {
  const float nz = -0.0f;
  const std::vector<float> row = {0.2f, 0.4f, 0.6f, 1.0f, 0.2f, 0.4f, 0.6f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f,
                                  nz,   nz,   nz,   nz,   0.1f, 0.05f, 0.02f, 0.5f};
  std::vector<float> last_differs = row;
  last_differs.back() = 0.25f;
  std::vector<float> frame = row;
  frame.insert(frame.end(), row.begin(), row.end());
  frame.insert(frame.end(), last_differs.begin(), last_differs.end());
  frame.insert(frame.end(), row.begin(), row.end());
  std::vector<float> solid;
  for (int i = 0; i < 12; ++i) solid.insert(solid.end(), {0.05f, 0.1f, 0.3f, 1.0f});
  return {
      {"rows and pixels repeated, edited and alternating", 5, 4, frame},
      {"one plain solid", 4, 3, solid},
      {"neighbours that differ in alpha only", 2, 1, {0.1f, 0.1f, 0.1f, 0.5f, 0.1f, 0.1f, 0.1f, 0.25f}},
      {"a single column", 1, 3, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.3f, 0.2f, 0.1f, 0.4f}},
  };
}

TEST(StandInFrameImage, ReusedRowsAndPixelsGiveTheSampleBySampleBytes) {
  for (const Case& c : cases()) {
    sim::RenderedFrame frame{c.width, c.height, c.rgba};
    std::vector<uint8_t> rounded;
    for (float v : c.rgba) rounded.push_back(sim::to_8bit(v));
    const sim::FrameImage image = sim::frame_image_from_render(frame);
    EXPECT_EQ(image.rgba, rounded) << c.what;

    std::vector<uint8_t> straight(rounded.size());
    for (size_t i = 0; i + 4 <= rounded.size(); i += 4) sim::unpremultiply_pixel(&rounded[i], &straight[i]);
    EXPECT_EQ(sim::straight_image(image).rgba, straight) << c.what;
  }
}

}  // namespace
