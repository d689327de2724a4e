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
#include "pool/worker_launch.h"
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

// One worker's run: what the reader delivered and how everything ended.
struct WorkerRun {
  testing::ChildResult child;
  std::vector<PoolFrameDelivery> frames;
  bool complete = false;
  bool exited = false;
  std::string log;  // the plug-in's log inside the worker
  std::string mapping;
  bool worker_dir_empty = false;
};

WorkerRun run_worker(int64_t last, int downsample, uint64_t factor, const std::vector<std::string>& faults) {
  WorkerRun run;
  const sim::Composition& comp = sample_main();
  testing::ScratchDir home("vel-memory-worker");
  const fs::path worker = home.path() / "job_1" / "w0";
  fs::create_directories(worker);
  const fs::path output = worker / "output.vnm";

  EXPECT_TRUE(take_memory_output_token());
  OutputRequest req;
  req.range_start = 0;
  req.range_end = last;
  req.step = comp.frame_duration.value;
  req.key_scale = comp.frame_duration.scale;
  req.width = static_cast<uint32_t>(sim::downsampled_side(comp.width, downsample));
  req.height = static_cast<uint32_t>(sim::downsampled_side(comp.height, downsample));
  auto consumer = create_memory_output(output.string(), req);
  if (!consumer) {
    ADD_FAILURE() << consumer.error().message;
    release_memory_output_token();
    return run;
  }
  run.mapping = consumer->mapping_name();

  auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(4);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto complete = std::make_shared<std::atomic<bool>>(false);
  auto abandon = std::make_shared<std::atomic<bool>>(false);
  auto exited = std::make_shared<std::atomic<bool>>(false);
  auto reduce = std::make_shared<std::atomic<uint64_t>>(factor);
  BackgroundWorkerRegistry registry;
  EXPECT_TRUE(start_memory_output_reader(
      MemoryReaderContext(std::move(tx), std::move(*consumer), std::chrono::steady_clock::now(),
                          make_job_dir_guard(home.path() / "job_1", [](const fs::path&) {}), stop, complete, abandon,
                          reduce, exited, 0),
      registry));
  // The drain ends once the reader, the only sender, has let go.
  std::thread drain([rx = std::move(rx), &run]() mutable {
    while (std::optional<PoolFrameDelivery> d = rx.recv()) run.frames.push_back(std::move(*d));
  });
  std::vector<std::string> args = {"-project",   kSample, "-comp", "Main", "-s", "0", "-e", std::to_string(last),
                                   "-OMtemplate", "velocinta-memory-v1", "-mfr", "ON", "50", "-output",
                                   output.string(), "-continueOnMissingFootage"};
  if (downsample == 2) args.insert(args.end(), {"-RStemplate", "velocinta-half-v6"});
  if (downsample == 4) args.insert(args.end(), {"-RStemplate", "velocinta-quarter-v6"});
  std::vector<std::string> env = {"VELOCINTA_OUTPUT_FORMAT=memory", "VELOCINTA_POOL_WORKER=1", "VELOCINTA_PERF=1",
                                  "SIMHOST_PLUGIN=" + kPlugin, "HOME=" + home.path().string()};
  env.insert(env.end(), faults.begin(), faults.end());
  run.child = testing::run_child(kAerender, args, env, "", 120);
  // The worker is gone: the pool gives its output up. A frame still in the
  // slot is taken first, and a finished output still completes.
  abandon->store(true);
  exited->wait(false);  // the reader ends on its own; only then is the registry drained
  registry.drain();
  EXPECT_EQ(registry.live_count(), 0u);
  drain.join();
  run.complete = complete->load();
  run.exited = exited->load();
  run.log = testing::read_text(home.path() / "Library" / "Logs" / "velocinta.log");
  run.worker_dir_empty = fs::is_empty(worker);
  return run;
}

// Whatever way the run ended, nothing of the output is left.
void expect_nothing_left(const WorkerRun& run) {
  EXPECT_TRUE(run.exited);
  EXPECT_TRUE(run.worker_dir_empty) << "no output, frame file or manifest is left";
  EXPECT_FALSE(testing::shm_exists(run.mapping));
  EXPECT_TRUE(testing::shm_entries(testing::own_segment_prefix()).empty());
  EXPECT_FALSE(memory_output_token_held());
}

struct Variant {
  int downsample;
  uint64_t factor;
};

class MemoryWorkerRun : public ::testing::TestWithParam<Variant> {};

TEST_P(MemoryWorkerRun, EveryFrameArrivesThroughSharedMemoryAndNothingIsLeft) {
  const Variant v = GetParam();
  ASSERT_GT(sample_main().width, 0);
  const WorkerRun run = run_worker(47, v.downsample, v.factor, {});
  ASSERT_EQ(run.child.exit_code, 0) << run.child.output;
  EXPECT_TRUE(run.complete) << run.log;
  ASSERT_EQ(run.frames.size(), 48u) << run.child.output;
  for (size_t i = 0; i < run.frames.size(); ++i) {
    const PoolFrameDelivery& d = run.frames[i];
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
  EXPECT_NE(run.log.find("PERF: AEIO entry: "), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("mode=Memory range=0..47 "), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("PERF: AEIO first pixels: "), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("PERF: AEIO finish: frames=48/48 failed=false "), std::string::npos) << run.log;
  EXPECT_NE(run.child.output.find("live memory handles 0"), std::string::npos) << run.child.output;
  expect_nothing_left(run);
}

TEST(MemoryWorkerFaults, EachRefusalIsOneLineAndTheReaderEndsIncomplete) {
  const sim::Composition& comp = sample_main();
  ASSERT_GT(comp.width, 0);
  const std::string size = std::to_string(sim::downsampled_side(comp.width, 4)) + "x" +
                           std::to_string(sim::downsampled_side(comp.height, 4));
  const int64_t fps = (int64_t{comp.frame_duration.scale} << 16) / comp.frame_duration.value;
  const struct {
    const char* fault;
    bool completes;
    std::vector<std::string> lines;
    std::string worker_line = "";  // in the stand-in's own output
  } rows[] = {
      {"SIM_AEIO_SKIP_ORDINAL=w0:2",
       false,
       {"ERROR: AEIO AddFrame: nonsequential output ordinal 3; expected 2",
        "ERROR: AEIO EndAdding: memory output incomplete; consumer must use fallback"}},
      {"SIM_AEIO_START_OFFSET=w0:1",
       false,
       {"ERROR: AEIO StartAdding: output differs from manifest: depth=32 size=" + size + " start=1, expected=" + size +
        " start=0"}},
      {"SIM_AEIO_FPS_OFFSET=w0:1", true, {}},
      {"SIM_AEIO_FPS_OFFSET=w0:-2",
       false,
       {"ERROR: AEIO StartAdding: output frame rate differs from manifest: fixed=" + std::to_string(fps - 2) +
        ", expected=" + std::to_string(fps)}},
      {"SIM_AEIO_PREMULTIPLIED=w0",
       false,
       {"ERROR: AEIO StartAdding: output alpha must match verified Straight (Unmatted) template"}},
      {"SIM_AEIO_ABORT_AT=w0:5", false, {"ERROR: AEIO AddFrame: output cancelled"}},
      {"SIM_AEIO_FLUSH=w0", false, {"ERROR: AEIO: active output flushed before completion"}},
      {"SIM_AEIO_CRASH_AFTER=w0:3", false, {}},
      {"SIM_AEIO_SKIP_ORDINAL=w9:2", true, {}},  // another worker's switch
      {"SIM_AEIO_REFUSE_REGISTER=w0",
       false,
       {"ERROR: memory output unavailable: Adobe rejected memory output registration"},
       "No output module template was found with the given name: velocinta-memory-v1"},
      {"SIM_AEIO_HIDE_IO_OUT=w0",
       false,
       {"ERROR: memory output unavailable: IOOutSuite4 unavailable"},
       "No output module template was found with the given name: velocinta-memory-v1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    const WorkerRun run = run_worker(7, 4, 1, {row.fault});
    EXPECT_EQ(run.complete, row.completes) << run.child.output << run.log;
    if (row.completes) {
      EXPECT_EQ(run.frames.size(), 8u);
    }
    for (const std::string& line : row.lines) EXPECT_NE(run.log.find(line), std::string::npos) << run.log;
    if (!row.worker_line.empty()) {
      EXPECT_EQ(run.child.exit_code, 1);
      EXPECT_NE(run.child.output.find(row.worker_line), std::string::npos) << run.child.output;
    }
    expect_nothing_left(run);
  }
}

INSTANTIATE_TEST_SUITE_P(Downsamples, MemoryWorkerRun, ::testing::Values(Variant{1, 1}, Variant{2, 2}));

}  // namespace
}  // namespace vel
