#include "memory_worker_run.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "frame_image.h"
#include "memout/memout_test_support.h"
#include "memout/output_consumer.h"
#include "pool/decode/memory_output_reader.h"
#include "pool/process/worker_launch.h"
#include "project/project_json.h"
#include "render/renderer.h"
#include "vel_build_paths.h"

namespace vel::testing {

namespace {

namespace fs = std::filesystem;

const std::string kAerender = VEL_AERENDER_PATH;
const std::string kPlugin = VEL_PLUGIN_PATH;
const std::string kSample = std::string(VEL_DEMO_DIR) + "/sample.aep";
const std::string kUnshare = "/usr/bin/unshare";

// The worker runs in a pid namespace of its own, with its own /proc, so that
// its engines die with it. A shell is the namespace's pid 1 and waits for
// the worker: pid 1 would be deaf to the SIGKILL a crash switch raises.
// Where namespaces are refused the worker runs as a plain child.
std::vector<std::string> namespace_prefix() {
  static const std::vector<std::string> prefix = [] {
    std::vector<std::string> p = {"--pid", "--fork", "--mount-proc", "--kill-child"};
    if (::geteuid() != 0) p.insert(p.begin(), {"--user", "--map-root-user"});
    std::vector<std::string> probe = p;
    probe.push_back("/bin/true");
    if (::access(kUnshare.c_str(), X_OK) != 0 || run_child(kUnshare, probe, {}, "", 30).exit_code != 0) {
      std::fprintf(stderr, "memory worker tests: no private pid namespace here; the worker runs as a plain child\n");
      return std::vector<std::string>{};
    }
    p.insert(p.end(), {"/bin/sh", "-c", "\"$0\" \"$@\" & wait $!"});
    return p;
  }();
  return prefix;
}

// The frames the reader delivered, drained by a thread of the test.
struct Drain {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<PoolFrameDelivery> frames;
  bool hold = false;

  size_t count() {
    std::lock_guard lock(mu);
    return frames.size();
  }
  void release() {
    std::lock_guard lock(mu);
    hold = false;
    cv.notify_all();
  }
};

}  // namespace

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

std::vector<uint8_t> simhost_rgba(int frame, int downsample) {
  const sim::Composition& c = sample_main();
  sim::Result<sim::RenderedFrame> r = sim::render_composition(
      c, {sim::HostTime{frame * c.frame_duration.value, c.frame_duration.scale}, downsample, downsample, 8});
  return r ? sim::frame_image_from_render(r.value()).rgba : std::vector<uint8_t>{};
}

WorkerRun run_memory_worker(const WorkerRunOptions& o) {
  WorkerRun run;
  const sim::Composition& comp = sample_main();
  ScratchDir home("vel-memory-worker");
  const fs::path worker = home.path() / "job_1" / "w0";
  fs::create_directories(worker);
  const fs::path output = worker / "output.vnm";
  if (o.template_store) {
    fs::create_directories(home.path() / "Library" / "Preferences");
    std::ofstream(home.path() / "Library" / "Preferences" / "simhost-templates.json") << o.template_store->dump();
  }
  EXPECT_TRUE(open_log_file_at(home.file("host.log"), LogRole::Host));

  EXPECT_TRUE(take_memory_output_token());
  OutputRequest req;
  req.range_start = 0;
  req.range_end = o.last;
  req.step = comp.frame_duration.value;
  req.key_scale = comp.frame_duration.scale;
  req.width = static_cast<uint32_t>(sim::downsampled_side(comp.width, o.downsample));
  req.height = static_cast<uint32_t>(sim::downsampled_side(comp.height, o.downsample));
  auto consumer = create_memory_output(output.string(), req);
  if (!consumer) {
    ADD_FAILURE() << consumer.error().message;
    release_memory_output_token();
    close_log_file();
    return run;
  }
  run.mapping = consumer->mapping_name();

  auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(4);
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto complete = std::make_shared<std::atomic<bool>>(false);
  auto abandon = std::make_shared<std::atomic<bool>>(false);
  auto exited = std::make_shared<std::atomic<bool>>(false);
  auto reduce = std::make_shared<std::atomic<uint64_t>>(o.factor);
  BackgroundWorkerRegistry registry;
  EXPECT_TRUE(start_memory_output_reader(
      MemoryReaderContext(std::move(tx), std::move(*consumer), std::chrono::steady_clock::now(),
                          make_job_dir_guard(home.path() / "job_1", [](const fs::path&) {}), stop, complete, abandon,
                          reduce, exited, 0),
      registry));
  Drain drain;
  drain.hold = o.stall_consumer;
  // The drain ends once the reader, the only sender, has let go.
  std::thread drainer([rx = std::move(rx), &drain]() mutable {
    {
      std::unique_lock lock(drain.mu);
      drain.cv.wait(lock, [&] { return !drain.hold; });
    }
    while (std::optional<PoolFrameDelivery> d = rx.recv()) {
      std::lock_guard lock(drain.mu);
      drain.frames.push_back(std::move(*d));
    }
  });

  std::vector<std::string> args = namespace_prefix();
  args.insert(args.end(), {kAerender, "-project", kSample, "-comp", "Main", "-s", "0", "-e", std::to_string(o.last),
                           "-OMtemplate", "velocinta-memory-v1", "-mfr", "ON", "50", "-output", output.string(),
                           "-continueOnMissingFootage"});
  if (o.downsample == 2) args.insert(args.end(), {"-RStemplate", "velocinta-half-v6"});
  if (o.downsample == 4) args.insert(args.end(), {"-RStemplate", "velocinta-quarter-v6"});
  std::vector<std::string> env = {"VELOCINTA_OUTPUT_FORMAT=memory", "VELOCINTA_POOL_WORKER=1", "VELOCINTA_PERF=1",
                                  "SIMHOST_PLUGIN=" + kPlugin, "HOME=" + home.path().string()};
  env.insert(env.end(), o.env.begin(), o.env.end());
  const std::string program = args.front() == kAerender ? kAerender : kUnshare;
  if (program == kAerender) args.erase(args.begin());
  run.child = run_child(program, args, env, "", 120, [&] {
    return o.kill_after_frames && drain.count() >= *o.kill_after_frames;
  });
  // The worker is gone: the pool gives its output up. A frame still in the
  // slot is taken first, and a finished output still completes.
  drain.release();
  abandon->store(true);
  exited->wait(false);  // the reader ends on its own; only then is the registry drained
  registry.drain();
  run.registry_drained = registry.live_count() == 0;
  drainer.join();
  close_log_file();
  run.frames = std::move(drain.frames);
  run.complete = complete->load();
  run.exited = exited->load();
  run.worker_log = read_text(home.path() / "Library" / "Logs" / "velocinta.log");
  run.host_log = read_text(home.file("host.log"));
  run.worker_dir_empty = fs::is_empty(worker);
  return run;
}

void expect_nothing_left(const WorkerRun& run) {
  EXPECT_TRUE(run.exited);
  EXPECT_TRUE(run.registry_drained);
  EXPECT_TRUE(run.worker_dir_empty) << "no output, frame file or manifest is left";
  EXPECT_FALSE(shm_exists(run.mapping));
  EXPECT_TRUE(shm_entries(own_segment_prefix()).empty());
  EXPECT_FALSE(memory_output_token_held());
}

}  // namespace vel::testing
