// One memory-mode worker end to end: the host's side of the output made as
// the launch makes it, the stand-in aerender loading the plug-in and driving
// its output module, and the reader taking every frame into the frame
// channel. The stand-in is the test's own child, bounded and reaped.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "../memout/memout_test_support.h"
#include "frame_image.h"
#include "memout/output_consumer.h"
#include "pool/memory_output_reader.h"
#include "pool/memory_output_token.h"
#include "project_json.h"
#include "renderer.h"
#include "support/child_process.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

const std::string kAerender = VEL_AERENDER_PATH;
const std::string kPlugin = VEL_PLUGIN_PATH;
const std::string kSample = std::string(VEL_DEMO_DIR) + "/sample.aep";

const sim::Composition& sample_main() {
  static const sim::Project project = [] {
    sim::Result<sim::Project> p = sim::load_project_file(kSample);
    return p ? p.value() : sim::Project{};
  }();
  for (const sim::Composition& c : project.comps) {
    if (c.name == "Main") return c;
  }
  static const sim::Composition none;
  return none;
}

sim::FrameImage simhost_frame(int frame, int downsample) {
  const sim::Composition& c = sample_main();
  sim::Result<sim::RenderedFrame> r = sim::render_composition(
      c, {sim::HostTime{frame * c.frame_duration.value, c.frame_duration.scale}, downsample, downsample, 8});
  return r ? sim::frame_image_from_render(r.value()) : sim::FrameImage{};
}

struct Variant {
  int downsample;
  uint64_t factor;
};

class MemoryWorkerRun : public ::testing::TestWithParam<Variant> {};

TEST_P(MemoryWorkerRun, EveryFrameArrivesThroughSharedMemoryAndNothingIsLeft) {
  const Variant v = GetParam();
  const sim::Composition& comp = sample_main();
  ASSERT_GT(comp.width, 0);
  testing::ScratchDir home("vel-memory-worker");
  ASSERT_TRUE(home.ok());
  const fs::path worker = home.path() / "job_1" / "w0";
  fs::create_directories(worker);
  const fs::path output = worker / "output.vnm";

  ASSERT_TRUE(claim_memory_output_token());
  OutputRequest req;
  req.range_start = 0;
  req.range_end = 47;
  req.step = comp.frame_duration.value;
  req.key_scale = comp.frame_duration.scale;
  req.width = static_cast<uint32_t>(sim::downsampled_side(comp.width, v.downsample));
  req.height = static_cast<uint32_t>(sim::downsampled_side(comp.height, v.downsample));
  auto consumer = create_memory_output(output.string(), req);
  ASSERT_TRUE(consumer) << consumer.error().message;
  const std::string mapping = consumer->mapping_name();

  auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(4);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto complete = std::make_shared<std::atomic<bool>>(false);
  auto abandon = std::make_shared<std::atomic<bool>>(false);
  auto exited = std::make_shared<std::atomic<bool>>(false);
  auto factor = std::make_shared<std::atomic<uint64_t>>(v.factor);
  BackgroundWorkerRegistry registry;
  ASSERT_TRUE(start_memory_output_reader(
      MemoryReaderContext(std::move(tx), std::move(*consumer), std::chrono::steady_clock::now(),
                          make_job_dir_guard(home.path() / "job_1", [](const fs::path&) {}), stop, complete, abandon,
                          factor, exited, 0),
      registry));

  // The channel is drained while the worker runs.
  std::vector<PoolFrameDelivery> got;
  std::thread drain([&rx = rx, &got] {
    while (std::optional<PoolFrameDelivery> d = rx.recv()) got.push_back(std::move(*d));
  });
  std::vector<std::string> args = {"-project", kSample,        "-comp",      "Main", "-s",   "0",  "-e",
                                   "47",       "-OMtemplate",  "velocinta-memory-v1", "-mfr", "ON", "50",
                                   "-output",  output.string(), "-continueOnMissingFootage"};
  if (v.downsample == 2) args.insert(args.end(), {"-RStemplate", "velocinta-half-v6"});
  const testing::ChildResult r =
      testing::run_child(kAerender, args,
                         {"VELOCINTA_OUTPUT_FORMAT=memory", "VELOCINTA_POOL_WORKER=1", "VELOCINTA_PERF=1",
                          "SIMHOST_PLUGIN=" + kPlugin, "HOME=" + home.path().string()},
                         "", 120);
  if (r.exit_code != 0) abandon->store(true);  // a worker gone short must not hold the reader
  registry.drain();  // joins the reader once it ended on its own or was stopped
  rx.reset();
  drain.join();
  ASSERT_EQ(r.exit_code, 0) << r.output;

  EXPECT_TRUE(complete->load());
  EXPECT_TRUE(exited->load());
  ASSERT_EQ(got.size(), 48u);
  for (size_t i = 0; i < got.size(); ++i) {
    const PoolFrameDelivery& d = got[i];
    ASSERT_EQ(d.frame, static_cast<int64_t>(i));
    ASSERT_TRUE(d.pixels);
    const sim::FrameImage want = simhost_frame(static_cast<int>(i), v.downsample);
    const uint32_t dw = std::max<uint32_t>(static_cast<uint32_t>(want.width) / v.factor, 1);
    const uint32_t dh = std::max<uint32_t>(static_cast<uint32_t>(want.height) / v.factor, 1);
    ASSERT_EQ(d.pixels->width, dw);
    ASSERT_EQ(d.pixels->height, dh);
    size_t off_by_more = 0;
    for (uint32_t y = 0; y < dh; ++y) {
      for (uint32_t x = 0; x < dw; ++x) {
        for (int c = 0; c < 4; ++c) {
          const int g = d.pixels->pixels.data()[(size_t{y} * dw + x) * 4 + c];
          const int w = want.rgba[((size_t{y} * v.factor) * want.width + x * v.factor) * 4 + c];
          off_by_more += std::abs(g - w) > 1;
        }
      }
    }
    EXPECT_EQ(off_by_more, 0u) << "frame " << i;
  }

  const std::string log = testing::read_text(home.path() / "Library" / "Logs" / "velocinta.log");
  EXPECT_NE(log.find("PERF: AEIO entry: "), std::string::npos) << log;
  EXPECT_NE(log.find("mode=Memory range=0..47 "), std::string::npos) << log;
  EXPECT_NE(log.find("PERF: AEIO first pixels: "), std::string::npos) << log;
  EXPECT_NE(log.find("PERF: AEIO finish: frames=48/48 failed=false "), std::string::npos) << log;
  EXPECT_NE(r.output.find("live memory handles 0"), std::string::npos) << r.output;

  EXPECT_TRUE(fs::is_empty(worker)) << "no output, frame file or manifest is left";
  EXPECT_FALSE(testing::shm_exists(mapping));
  EXPECT_TRUE(testing::shm_entries(testing::own_segment_prefix()).empty());
  EXPECT_EQ(memory_output_in_use().load(), 0u);
  EXPECT_EQ(registry.live_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Downsamples, MemoryWorkerRun, ::testing::Values(Variant{1, 1}, Variant{2, 2}));

}  // namespace
}  // namespace vel
