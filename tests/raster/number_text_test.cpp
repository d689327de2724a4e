// How real numbers are written into the comp model's texts and debug forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "raster/comp_model.h"
#include "raster/number_text.h"

namespace vel {
namespace {

TEST(NumberText, DisplayFormNeverUsesAnExponent) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double v;
    const char* text;
  } cases[] = {
      {5, "5"},         {2.5, "2.5"},        {0.0001, "0.0001"}, {-1500, "-1500"},
      {1e-7, "0.0000001"}, {1e21, "1000000000000000000000"}, {0.1, "0.1"}, {100.0 / 3, "33.333333333333336"},
      {std::nan(""), "NaN"}, {inf, "inf"},   {-inf, "-inf"},     {0, "0"},
  };
  for (const auto& c : cases) EXPECT_EQ(display_real(c.v), c.text) << c.text;
  EXPECT_EQ(display_real(std::numeric_limits<double>::max()).size(), 309u);
}

TEST(NumberText, DebugFormKeepsAFractionAndSwitchesToExponentOutsideItsRange) {
  const struct {
    double v;
    const char* text;
  } cases[] = {
      {1, "1.0"},       {0.5, "0.5"},        {0, "0.0"},       {-0.0, "-0.0"},  {0.0001, "0.0001"},
      {1e-5, "1e-5"},   {-2.5e-7, "-2.5e-7"}, {1e16, "1e16"},  {1.5e16, "1.5e16"}, {9999999999999998, "9999999999999998.0"},
      {1920, "1920.0"}, {std::nan(""), "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(debug_real(c.v), c.text) << c.text;
  // A single-precision channel keeps its own shortest text, not its double's.
  EXPECT_EQ(debug_real(0.1f), "0.1");
  EXPECT_EQ(debug_real(0.85f), "0.85");
  EXPECT_EQ(debug_real(1e-5f), "1e-5");
}

TEST(NumberText, SourceDebugForms) {
  const struct {
    LayerSource source;
    const char* text;
  } cases[] = {
      {SolidSource{{1, 0, 0}, 1920, 1080}, "Solid { color: [1.0, 0.0, 0.0], width: 1920, height: 1080 }"},
      {SolidSource{{0.1f, 0.5f, 1e-5f}, 0, 0}, "Solid { color: [0.1, 0.5, 1e-5], width: 0, height: 0 }"},
      {FootageSource{"clip \"a\"\\b.mov"}, R"(Footage { path: "clip \"a\"\\b.mov" })"},
      {CompSource{"line\nnext\ttab\x01"}, R"(Comp { comp_name: "line\nnext\ttab\u{1}" })"},
      {UnsupportedSource{"item_type(1): Folder"}, R"(Unsupported { desc: "item_type(1): Folder" })"},
  };
  for (const auto& c : cases) EXPECT_EQ(layer_source_debug(c.source), c.text);
}

}  // namespace
}  // namespace vel
