// One memory-mode worker end to end: every frame of the sample's range comes
// through shared memory, equal to simhost's own render, and nothing of the
// output is left afterwards.
#include <gtest/gtest.h>

#include "memory_worker_run.h"
#include "render/renderer.h"

namespace vel::testing {
namespace {

// Full-size frames are few: each is rendered again here and compared pixel
// by pixel, which dominates the run under a sanitizer; the slot is reused
// the same way for 12 frames as for 48.
struct Variant {
  int downsample;
  uint64_t factor;
  int64_t last;  // frames 0 … last
};

class MemoryWorkerRun : public ::testing::TestWithParam<Variant> {};

TEST_P(MemoryWorkerRun, EveryFrameArrivesThroughSharedMemoryAndNothingIsLeft) {
  const Variant v = GetParam();
  const sim::Composition& comp = sample_main();
  ASSERT_GT(comp.width, 0);
  const WorkerRun run = run_memory_worker({.last = v.last, .downsample = v.downsample, .factor = v.factor});
  const size_t count = static_cast<size_t>(v.last + 1);
  const std::string range = "0.." + std::to_string(v.last);
  ASSERT_EQ(run.child.exit_code, 0) << run.child.output << run.host_log;
  EXPECT_TRUE(run.complete) << run.worker_log << run.host_log;
  ASSERT_EQ(run.frames.size(), count) << run.child.output;
  const uint32_t width = static_cast<uint32_t>(sim::downsampled_side(comp.width, v.downsample));
  const uint32_t height = static_cast<uint32_t>(sim::downsampled_side(comp.height, v.downsample));
  const uint32_t dw = std::max<uint32_t>(width / v.factor, 1);
  const uint32_t dh = std::max<uint32_t>(height / v.factor, 1);
  for (size_t i = 0; i < run.frames.size(); ++i) {
    const PoolFrameDelivery& d = run.frames[i];
    ASSERT_EQ(d.frame, static_cast<int64_t>(i));
    ASSERT_TRUE(d.pixels);
    ASSERT_EQ(d.pixels->width, dw);
    ASSERT_EQ(d.pixels->height, dh);
    const std::vector<uint8_t> want = simhost_rgba(static_cast<int>(i), v.downsample);
    ASSERT_EQ(want.size(), size_t{width} * height * 4);
    size_t off_by_more = 0;
    for (uint32_t y = 0; y < dh; ++y) {
      for (uint32_t x = 0; x < dw; ++x) {
        for (int c = 0; c < 4; ++c) {
          const int g = d.pixels->pixels.data()[(size_t{y} * dw + x) * 4 + c];
          const int w = want[((size_t{y} * v.factor) * width + x * v.factor) * 4 + c];
          off_by_more += std::abs(g - w) > 1;
        }
      }
    }
    EXPECT_EQ(off_by_more, 0u) << "frame " << i;
  }
  EXPECT_NE(run.worker_log.find("PERF: AEIO entry: "), std::string::npos) << run.worker_log;
  EXPECT_NE(run.worker_log.find("mode=Memory range=" + range + " "), std::string::npos) << run.worker_log;
  EXPECT_NE(run.worker_log.find("PERF: AEIO first pixels: "), std::string::npos) << run.worker_log;
  EXPECT_NE(run.worker_log.find("PERF: AEIO finish: frames=" + std::to_string(count) + "/" + std::to_string(count) +
                                " failed=false "),
            std::string::npos)
      << run.worker_log;
  EXPECT_NE(run.child.output.find("live memory handles 0"), std::string::npos) << run.child.output;
  expect_nothing_left(run);
}

INSTANTIATE_TEST_SUITE_P(Downsamples, MemoryWorkerRun, ::testing::Values(Variant{1, 1, 11}, Variant{2, 2, 47}),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           return "downsample" + std::to_string(info.param.downsample) + "_factor" +
                                  std::to_string(info.param.factor);
                         });

// The host's template store decides whether the memory template exists: it
// must hold "velocinta-memory-v1" naming the module by its signature.
TEST(MemoryWorkerTemplateStore, TheStoredTemplateNamesTheModule) {
  const nlohmann::json memory = {{"Format", "Velocinta Memory 8bpc"}, {"Module", "VnM1"},
                                 {"Color", "Straight (Unmatted)"}, {"Depth", "Millions of Colors+"}};
  const nlohmann::json rs = {{"velocinta-quarter-v6", {{"Resolution", "Quarter"}}}};
  const struct {
    const char* what;
    nlohmann::json store;
    bool delivers;
  } rows[] = {
      {"held", {{"rs", rs}, {"om", {{"velocinta-memory-v1", memory}}}}, true},
      {"absent", {{"rs", rs}, {"om", nlohmann::json::object()}}, false},
      {"another module", {{"rs", rs}, {"om", {{"velocinta-memory-v1", {{"Module", "XyZ9"}}}}}}, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const WorkerRun run = run_memory_worker({.last = 3, .template_store = row.store});
    EXPECT_EQ(run.complete, row.delivers) << run.child.output;
    EXPECT_EQ(run.frames.size(), row.delivers ? 4u : 0u);
    if (!row.delivers) {
      EXPECT_EQ(run.child.exit_code, 1);
      EXPECT_NE(run.child.output.find("No output module template was found with the given name: velocinta-memory-v1"),
                std::string::npos)
          << run.child.output;
    }
    expect_nothing_left(run);
  }
}

}  // namespace
}  // namespace vel::testing
