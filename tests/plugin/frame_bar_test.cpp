// The screenshot reader of the frame bar, on rows made to look as each
// present path leaves a narrow white bar on the sample's backdrop.
#include "plugin/frame_bar.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "support/scratch_dir.h"

namespace vel {
namespace {

using testing::ScratchDir;
using testing::white_bar_on_screen;

using Rgb8 = std::array<uint8_t, 3>;
constexpr Rgb8 kBackdrop{15, 29, 64};
constexpr Rgb8 kRed{217, 38, 51};
constexpr double kRowWidth = 200;

// A PNG one row band high, backdrop everywhere but `columns` from `first` on.
void write_row(const std::filesystem::path& png, int first, const std::vector<Rgb8>& columns) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(kRowWidth), 10);
  cairo_surface_flush(s);
  for (int y = 0; y < 10; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
    for (int x = 0; x < kRowWidth; ++x) {
      const Rgb8 c = x >= first && x < first + static_cast<int>(columns.size()) ? columns[x - first] : kBackdrop;
      row[x] = (uint32_t{c[0]} << 16) | (uint32_t{c[1]} << 8) | c[2];
    }
  }
  cairo_surface_mark_dirty(s);
  cairo_surface_write_to_png(s, png.c_str());
  cairo_surface_destroy(s);
}

TEST(FrameBar, FindsTheBarsCentreAsEachPathDrawsIt) {
  struct Case {
    const char* name;
    std::vector<Rgb8> columns;  // from column 100
    std::optional<double> centre;  // in row pixels
  };
  const Case cases[] = {
      {"scaled by the CPU path: white with grey edges", {{120, 126, 147}, {255, 255, 255}, {255, 255, 255}, {96, 104, 128}}, 102.0},
      // Filtered between two mip levels: no column fully white.
      {"filtered by the GPU path", {{244, 245, 246}, {244, 245, 247}, {143, 150, 166}}, 101.3},
      {"over the red solid", {{237, 147, 152}, {255, 255, 255}, {236, 145, 150}}, 101.5},
      {"no bar, only the red solid", {kRed, kRed, kRed}, std::nullopt},
  };
  ScratchDir scratch("vel-frame-bar");
  ASSERT_TRUE(scratch.ok());
  const nlohmann::json rect = {0, 0, kRowWidth, 10};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path png = scratch.path() / "row.png";
    write_row(png, 100, c.columns);
    const std::optional<double> x = white_bar_on_screen(png, rect, kRowWidth);
    ASSERT_EQ(x.has_value(), c.centre.has_value());
    if (c.centre) {
      EXPECT_NEAR(*x, *c.centre, 0.25);
    }
  }
}

}  // namespace
}  // namespace vel
