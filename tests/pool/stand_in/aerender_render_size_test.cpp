// The stand-in aerender's switch that renders another size than the
// composition's: its values, its scope, and the canvas it gives.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "render_size.h"

namespace vel {
namespace {

sim::Composition comp_of(int32_t w, int32_t h) {
  sim::Composition c;
  c.width = w;
  c.height = h;
  return c;
}

TEST(AerenderRenderSize, ValuesGiveTheCanvas) {
  const struct {
    const char* value;
    bool valid;
    int32_t w, h;  // for a 1001 × 563 composition
  } rows[] = {
      {"1920x1440", true, 1920, 1440}, {"*2", true, 2002, 1126}, {"/2", true, 501, 282},
      {"/16", true, 63, 36},           {"1x1", true, 1, 1},       {"30000x30000", true, 30000, 30000},
      {"0x10", false, 0, 0},           {"30001x10", false, 0, 0}, {"1920X1440", false, 0, 0},
      {"*0", false, 0, 0},             {"/17", false, 0, 0},      {"2", false, 0, 0},
      {"", false, 0, 0},               {"1920x", false, 0, 0},    {"*2.5", false, 0, 0},
  };
  for (const auto& r : rows) {
    const std::optional<sim::RenderSize> size = sim::parse_render_size(r.value);
    ASSERT_EQ(size.has_value(), r.valid) << r.value;
    if (!size) continue;
    const sim::Composition c = sim::resized_composition(comp_of(1001, 563), *size);
    EXPECT_EQ(c.width, r.w) << r.value;
    EXPECT_EQ(c.height, r.h) << r.value;
  }
}

TEST(AerenderRenderSize, ABareValueActsEverywhereAScopedOneInItsFolders) {
  const auto read = [](const char* value, const char* output) {
    const auto lookup = [value](const char* name) -> std::optional<std::string> {
      if (std::string(name) == "SIM_AERENDER_SIZE" && value) return std::string(value);
      return std::nullopt;
    };
    return sim::read_render_size(lookup, output);
  };
  EXPECT_FALSE(read(nullptr, "/tmp/job_0/w0/f_[#####].psd").value());
  EXPECT_TRUE(read("*2", "/tmp/job_0/w3/f_[#####].psd").value());
  EXPECT_FALSE(read("bad", "/tmp/job_0/w0/f_[#####].psd")) << "a malformed bare value is an error";
  EXPECT_TRUE(read("w0:1920x1440", "/tmp/job_0/w0/f_[#####].psd").value());
  EXPECT_FALSE(read("w0:1920x1440", "/tmp/job_0/w1/f_[#####].psd").value());
  EXPECT_TRUE(read("0/w1:/2", "/tmp/job_0/w1/f_[#####].psd").value());
  EXPECT_FALSE(read("0/w1:/2", "/tmp/job_1/w1/f_[#####].psd").value()) << "a later batch runs clean";
  EXPECT_FALSE(read("w0:bad", "/tmp/job_0/w0/f_[#####].psd").value()) << "a malformed scoped value is ignored";
}

}  // namespace
}  // namespace vel
