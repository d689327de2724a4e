// Batches of the stand-in aerender from launch to end, in this test's own
// pid namespace: the launch's workers, decoders and discovery, a stand-in for
// the supervision that takes their frames, the end that leaves no process,
// the memory tick's sampler and sweeps, and the engine prewarm.
// GCC 12 sees the optional frame of a non-blocking receive as maybe unset.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <set>

#include "core/machine.h"
#include "core/threads.h"
#include "pool/batch/batch_end.h"
#include "pool/batch/batch_launch.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_control.h"
#include "pool/runtime/engine_prewarm.h"
#include "pool/runtime/pool_memory_tick.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool_process/pool_process_fixture.h"
#include "vel_build_paths.h"

namespace vel::testing {
namespace {

namespace fs = std::filesystem;

// The PERF lines are part of what these tests read; the switch is read once.
const bool kPerfOn = (::setenv("VELOCINTA_PERF", "1", 1), true);

std::set<std::string> thread_names() {
  std::set<std::string> names;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  ::closedir(dir);
  return names;
}

class BatchProcessTest : public PoolProcessTest {
 protected:
  PoolRuntime ready_runtime() {
    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.pool_enabled = true;
    rt.templates_ready = 1;
    rt.snapshot_path = scratch_.path() / "snapshot.aep";
    fs::copy_file(kSample, *rt.snapshot_path, fs::copy_options::overwrite_existing);
    return rt;
  }
  LaunchWorld world() {
    LaunchWorld w = live_launch_world(runtime_for_counts_, 0);
    w.run_off_main = {};  // the starts run in place: the launch returns with its workers
    w.resolve_aerender = [this](AerenderLookup&) -> const std::optional<fs::path>& { return aerender_; };
    w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
    w.effective_worker_count = [] { return uint64_t{3}; };
    return w;
  }
  PoolRuntime runtime_for_counts_ = new_pool_runtime(kOutputPsd);
  std::optional<fs::path> aerender_ = fs::path(kAerender);
};

// What the batch supervision will do, played by the test: reap the workers,
// ask the discovery worker for files, hand them to the decoders and collect
// the decoded frames, until `wanted` frames came back (bounded).
struct StandInSupervision {
  std::set<int64_t> decoded;
  std::set<std::string> discovered;
  std::vector<EndedClient> ended;

  bool run(PoolRuntime& rt, size_t wanted) {
    PoolPlan& plan = *rt.plan;
    std::set<std::string> queued;
    for (int round = 0; round < 3000 && decoded.size() < wanted; ++round) {
      std::vector<size_t> exited;
      reap_exited_workers(plan.jobs, ended, exited);
      if (plan.discovery && plan.discovery->requests.try_send(DiscoveryRequest{true, 0})) {
        if (auto report = plan.discovery->reports.recv()) {
          for (const DiscoveredFile& f : report->files) {
            discovered.insert(f.path.lexically_relative(plan.job_dir->path()).string());
            if (!queued.insert(f.path.string()).second) continue;
            plan.decode_jobs.send(DecodeJob{f.path, f.frame, static_cast<double>(f.frame) / 24.0, 1});
          }
        }
      }
      std::optional<PoolFrameDelivery> frame;
      while (plan.frames.try_recv(frame) == TryRecv::Value) {
        if (frame->pixels) decoded.insert(frame->frame);
        frame.reset();
      }
      if (decoded.size() < wanted) ::usleep(5000);
    }
    return decoded.size() >= wanted;
  }
};

TEST_F(BatchProcessTest, AFileBatchRunsFromTheSnapshotAndAnEditEndsIt) {
  ::unsetenv("SIM_AERENDER_SILENT");
  struct Case {
    uint8_t output;
    const char* file;
    const char* format;
  } cases[] = {{kOutputPsd, "w0/f_00000.psd", "output_format=psd"}, {kOutputTga, "w0/f_00000.tga", "output_format=tga"}};
  for (const Case& c : cases) {
    PoolRuntime rt = ready_runtime();
    rt.selected_output = c.output;
    rt.file_downsample = 4;
    const std::vector<FrameRange> ranges{{0, 3}, {4, 7}};
    LaunchWorld w = world();
    // Measured admission starts one engine when the machine's memory is not known.
    w.available_memory = [] { return std::optional<uint64_t>(); };
    launch_pool_batch(rt, "Main", ranges, 24, 1, w);
    ASSERT_TRUE(rt.plan) << c.format;
    EXPECT_EQ(rt.plan->jobs.size(), 1u) << "measured admission starts one";
    EXPECT_TRUE(fs::exists(rt.plan->job_dir->path() / "w0.log"));
    // Each thread names itself as it starts.
    EXPECT_TRUE(eventually([] { return thread_names().count(os_thread_name("velocinta-decode-0")) == 1; }));
    EXPECT_TRUE(eventually([] { return thread_names().count(os_thread_name("velocinta-discovery")) == 1; }));

    StandInSupervision supervision;
    ASSERT_TRUE(supervision.run(rt, 4)) << c.format;
    EXPECT_EQ(supervision.decoded, (std::set<int64_t>{0, 1, 2, 3}));
    EXPECT_TRUE(supervision.discovered.count(c.file)) << c.format;

    note_pool_comp_edit(rt, mono_ns());  // an edit ends the batch
    EXPECT_FALSE(rt.plan);
    // The batch's own channels went with it: its decoders and discovery end.
    EXPECT_TRUE(eventually([] {
      const auto names = thread_names();
      return !names.count(os_thread_name("velocinta-decode-0")) && !names.count(os_thread_name("velocinta-discovery"));
    }));
    const std::string log = read_text(log_path_);
    EXPECT_NE(log.find("PERF: POOL optimized=true clients=1 peak_active="), std::string::npos);
    EXPECT_NE(log.find(c.format), std::string::npos);
    EXPECT_TRUE(eventually([] { return other_processes().empty(); })) << c.format;
  }
  EXPECT_TRUE(error_lines().empty());
}

TEST_F(BatchProcessTest, DroppingAPlanKillsEveryWorkerAndEngine) {
  ::setenv("SIM_AERENDER_ENGINES", "2", 1);
  PoolRuntime rt = ready_runtime();
  LaunchWorld w = world();
  w.measured_admission = false;
  w.pool_ramp = false;
  const std::vector<FrameRange> ranges{{0, 9}, {10, 19}, {20, 29}};
  launch_pool_batch(rt, "Main", ranges, 24, 1, w);
  ASSERT_TRUE(rt.plan);
  ASSERT_EQ(rt.plan->jobs.size(), 3u);
  EXPECT_EQ(rt.plan->mfr_percent, 26u);
  std::vector<pid_t> workers;
  for (const PoolJob& job : rt.plan->jobs) workers.push_back(job.child.pid());
  for (pid_t p : workers) ASSERT_TRUE(eventually([&] { return engines_of(p).size() == 2; }));
  auto stop = rt.plan->stop;
  rt.plan.reset();
  EXPECT_TRUE(stop->load());
  for (pid_t p : workers) {
    // Signalled by the drop, which waits for nothing: the memory tick's poll
    // reaps them.
    EXPECT_TRUE(eventually([&] {
      (void)poll_children_to_reap();
      return group_members(p).empty();
    }));
    // Engines are signalled, not waited for: SIGKILL lands a moment later.
    EXPECT_TRUE(eventually([&] { return engines_of(p).empty(); }));
  }
}

// A second aerender took the pid of a client of ours after its end, and
// ended too, leaving its own engine: sweeping our client's engines must not
// touch it (the verified engine rule), from stop_pool as from the memory tick.
TEST_F(BatchProcessTest, SweepsOfEndedClientsSpareTheEnginesOfAReusedPid) {
  for (const char* road : {"stop_pool", "memory tick"}) {
    ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
    ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1);
    std::vector<PoolJob> jobs;
    jobs.push_back(launch());
    const pid_t p = jobs[0].child.pid();
    ASSERT_TRUE(wait_exit(p));
    std::vector<EndedClient> ended;
    std::vector<size_t> exited;
    reap_exited_workers(jobs, ended, exited);
    ASSERT_EQ(ended.size(), 1u);
    // The engine may still be on its way into its own program.
    ASSERT_TRUE(eventually([&] { return engines_of(p).size() == 1; }));
    const std::vector<pid_t> ours = engines_of(p);

    // Start times are known to a clock tick: the reuser starts a full tick
    // after our client's end was seen, as any reuse but a same-tick one does.
    const uint64_t tick_ns = 1'000'000'000 / static_cast<uint64_t>(::sysconf(_SC_CLK_TCK));
    while (boot_time_ns() < *ended[0].ended_boot_ns + 2 * tick_ns) ::usleep(1000);
    ::unsetenv("SIM_AERENDER_EXIT_AFTER");  // the reuser waits, its engine up, until killed
    const pid_t reuser = spawn_process_at(p, kAerender,
                                          {"aerender", "-project", "p", "-comp", "c", "-s", "0", "-e", "0", "-OMtemplate",
                                           "t", "-mfr", "ON", "50", "-output", "/nonexistent/f_[#####].tga"});
    ASSERT_EQ(reuser, p) << "ns_last_pid did not give the pid back";
    ASSERT_TRUE(eventually([&] { return engines_of(p).size() == 2; }));
    kill_and_reap(reuser);  // its engine, in a group of its own, lingers on
    ::unsetenv("SIM_AERENDER_ENGINE_LINGER_MS");
    pid_t theirs = -1;
    for (pid_t e : engines_of(p))
      if (e != ours[0]) theirs = e;
    ASSERT_GT(theirs, 0);

    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.ended_clients = ended;
    // Whether an aerender runs is looked at off the main thread: the sweep
    // waits for a look that found none.
    Instant at = ended[0].detected_ns + kWarmWindowNs;
    EXPECT_TRUE(eventually([&] {
      if (std::string(road) == "stop_pool") {
        stop_pool(rt, mono_ns());
      } else {
        pool_memory_tick(rt, at);
        at += kSweepSpacingNs;
      }
      return rt.ended_clients.empty();
    })) << road;
    EXPECT_TRUE(wait_exit(ours[0])) << road;
    reap(ours[0]);
    EXPECT_TRUE(alive(theirs)) << road;
    kill_and_reap(theirs);
  }
}

TEST_F(BatchProcessTest, AKilledChildLeftUnreapedIsReapedByALaterPoll) {
  PoolJob job = launch();
  const pid_t p = job.child.pid();
  note_child_to_reap(job.child.link);
  EXPECT_GE(poll_children_to_reap(), 1u);  // still running: polled, not waited for
  ::kill(p, SIGKILL);
  EXPECT_TRUE(eventually([] { return poll_children_to_reap() == 0; }));
  EXPECT_TRUE(job.child.reaped());
  kill_pool_worker(job.child);  // its engine
}

TEST_F(BatchProcessTest, TheMemoryTickMeasuresTheRunningWorker) {
  ::setenv("SIM_AERENDER_CLIENT_MIB", "40", 1);
  PoolRuntime rt = ready_runtime();
  launch_pool_batch(rt, "Main", std::vector<FrameRange>{{0, 9}}, 24, 1, world());
  ASSERT_TRUE(rt.plan);
  EXPECT_TRUE(eventually([&] {
    pool_memory_tick(rt, mono_ns());
    return rt.group_rss_peak >= 40u << 20;
  }));
  EXPECT_EQ(rt.concurrent_groups, 1u);
  EXPECT_NE(read_text(log_path_).find("PERF: POOL_MEMORY clients=1 "), std::string::npos);
  rt.plan.reset();
  EXPECT_TRUE(eventually([&] {
    pool_memory_tick(rt, mono_ns());
    return !rt.sampler;
  }));
}

// An edit throws away the background copy the pool adopted; the engines
// of the edit pause still load it, from the warm-up folder.
TEST_F(BatchProcessTest, AnEditPrewarmsFromTheSnapshotItThrowsAway) {
  const fs::path copy = pool_dir_ / "saved-1-2-3.aep";
  fs::create_directories(pool_dir_);
  fs::copy_file(kSample, copy, fs::copy_options::overwrite_existing);
  fs::remove(pool_snapshot_path(pool_dir_));
  PoolRuntime rt = ready_runtime();
  rt.batch_comp_name = "Main";
  rt.aerender.resolved = std::optional<fs::path>(kAerender);
  rt.snapshot_path = copy;
  rt.snapshot_file.emplace(copy, fs::path(kSample), FileStamp{}, 1.0);
  PrewarmWorld w = live_prewarm_world(0);
  w.measured_admission = false;
  w.frame_packing = false;
  w.pool_worker_count = [] { return uint64_t{2}; };
  w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
  std::vector<std::vector<std::string>> spawned;
  const auto spawn = w.spawn_engine;
  w.spawn_engine = [&](const fs::path& program, const std::vector<std::string>& args) {
    spawned.push_back(args);
    return spawn(program, args);
  };
  const Instant t = mono_ns();
  keep_snapshot_for_prewarm(rt, w);
  note_pool_comp_edit(rt, t);
  EXPECT_FALSE(fs::exists(copy)) << "the edit deletes the adopted copy";
  prewarm_pool_workers(rt, t, w);
  ASSERT_EQ(rt.warm_engines.size(), 2u);
  ASSERT_EQ(spawned.size(), 2u);
  const fs::path kept = pool_dir_ / "warmup" / "snapshot.aep";
  EXPECT_EQ(spawned[0][1], kept.string());
  EXPECT_TRUE(fs::is_regular_file(kept));
  EXPECT_EQ(read_text(kept), read_text(kSample));
  stop_pool(rt, t);
  EXPECT_TRUE(rt.warm_engines.empty());
}

TEST_F(BatchProcessTest, PrewarmStartsAtMostFourEnginesAndEveryEnderReapsThem) {
  const std::vector<std::pair<const char*, std::function<void(PoolRuntime&, Instant)>>> enders = {
      {"handoff", [](PoolRuntime& rt, Instant now) { request_witness_handoff(rt, true, now); }},
      {"contention", [](PoolRuntime& rt, Instant) { note_gpu_contention(rt, "grab", 4000.0); }},
      {"stop", [](PoolRuntime& rt, Instant now) { stop_pool(rt, now); }},
  };
  fs::create_directories(pool_dir_ / "warmup" / "stale");
  fs::copy_file(kSample, pool_snapshot_path(pool_dir_), fs::copy_options::overwrite_existing);
  for (const auto& [name, end] : enders) {
    PoolRuntime rt = ready_runtime();
    rt.batch_comp_name = "Main";
    rt.comp_is_3d = std::string(name) == "contention";
    rt.aerender.resolved = std::optional<fs::path>(kAerender);
    PrewarmWorld w = live_prewarm_world(0);
    w.measured_admission = false;
    w.frame_packing = false;
    w.pool_worker_count = [] { return uint64_t{8}; };
    w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
    const Instant t = mono_ns();
    prewarm_pool_workers(rt, t, w);
    const size_t expected = rt.comp_is_3d ? 1 : 4;
    ASSERT_EQ(rt.warm_engines.size(), expected) << name;
    EXPECT_FALSE(fs::exists(pool_dir_ / "warmup" / "stale")) << name;
    EXPECT_TRUE(fs::is_directory(pool_dir_ / "warmup" / "w0")) << name;
    std::vector<pid_t> pids;
    for (const WarmEngine& e : rt.warm_engines) pids.push_back(e.child.pid());
    end(rt, t);
    EXPECT_TRUE(rt.warm_engines.empty()) << name;
    for (pid_t p : pids) {
      EXPECT_TRUE(eventually([&] {
        (void)poll_children_to_reap();  // the memory tick's poll reaps what the end signalled
        return !alive(p);
      })) << name;
    }
    rt.handoff_deadline.reset();
    rt.gpu_contended = false;
    rt.pool_enabled = true;
    prewarm_pool_workers(rt, t + 7 * kNsPerSec, w);
    EXPECT_TRUE(rt.warm_engines.empty()) << name << ": not twice within 8 s";
    prewarm_pool_workers(rt, t + 8 * kNsPerSec, w);
    EXPECT_EQ(rt.warm_engines.size(), expected) << name;
    stop_pool(rt, t + 8 * kNsPerSec);
  }
}

}  // namespace
}  // namespace vel::testing
