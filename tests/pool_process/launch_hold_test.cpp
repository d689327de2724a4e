// The main thread never waits on a worker's start, a kill or a process walk:
// a pool thread is held at each point where it may wait on the system (the
// worker's folder and log, before posix_spawn, after it before the exec is
// known, a walk over every process, the read of a batch's job folder), and
// while it is held the calls the
// idle hook and the pool toggle make (the launch, the supervision, the
// memory tick, the pool's stop) return at once. The hook also fails the test
// when the test's own thread, the main thread here, reaches any such point.
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "core/machine.h"
#include "pool/batch/batch_launch.h"
#include "pool/batch/batch_supervision.h"
#include "pool/process/hold_points.h"
#include "pool/process/launch_thread.h"
#include "pool/runtime/pool_memory_tick.h"
#include "pool/runtime/pool_runtime_ops.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

namespace fs = std::filesystem;

// A call that must not wait returns well within this, on a busy machine and
// under a sanitizer too; the proof is that it returns at all while a pool
// thread is held, which it would not if it waited on that thread.
constexpr uint64_t kReturnBoundNs = 100 * kNsPerMs;

struct Hold {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<HoldPoint> armed;
  bool held = false;
  bool released = false;
  std::thread::id main_thread;
  bool in_call = false;  // the main thread is inside a call under test
  std::set<int> reached_on_main;
};

Hold& hold() {
  static Hold& h = *new Hold;
  return h;
}

// The first pool thread to reach the armed point stays there until the test
// releases it; the main thread never may reach any point.
void hold_hook(HoldPoint point) {
  Hold& h = hold();
  std::unique_lock lock(h.mutex);
  if (std::this_thread::get_id() == h.main_thread) {
    if (h.in_call) {
      h.reached_on_main.insert(static_cast<int>(point));
      h.changed.notify_all();
    }
    return;  // the test's own look at the processes
  }
  if (h.armed != point || h.held) return;
  h.held = true;
  h.changed.notify_all();
  h.changed.wait(lock, [&h] { return h.released; });
}

class LaunchHold : public PoolProcessTest {
 protected:
  void SetUp() override {
    PoolProcessTest::SetUp();
    if (skipped_) return;
    {
      std::lock_guard lock(hold().mutex);
      hold().main_thread = std::this_thread::get_id();
    }
    set_hold_hook_for_tests(&hold_hook);
  }
  void TearDown() override {
    release();
    // Whatever the launch thread still had in hand is done before the next
    // test arms a point.
    EXPECT_TRUE(wait_for_launch_thread(std::chrono::seconds(30)));
    set_hold_hook_for_tests(nullptr);
    PoolProcessTest::TearDown();
  }

  void arm(HoldPoint point) {
    std::lock_guard lock(hold().mutex);
    hold().armed = point;
    hold().held = false;
    hold().released = false;
  }
  // Waits for the event "a pool thread is held at the armed point".
  bool held() {
    Hold& h = hold();
    std::unique_lock lock(h.mutex);
    // A point the main thread reached instead is never held: no wait then.
    h.changed.wait_for(lock, std::chrono::seconds(60), [&h] { return h.held || !h.reached_on_main.empty(); });
    return h.held;
  }
  bool still_held() {
    std::lock_guard lock(hold().mutex);
    return hold().held && !hold().released;
  }
  void release() {
    std::lock_guard lock(hold().mutex);
    hold().released = true;
    hold().armed.reset();
    hold().changed.notify_all();
  }
  void set_in_call(bool in) {
    std::lock_guard lock(hold().mutex);
    hold().in_call = in;
  }
  std::set<int> reached_on_main() {
    std::lock_guard lock(hold().mutex);
    return hold().reached_on_main;
  }

  PoolRuntime ready_runtime() {
    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.pool_enabled = true;
    rt.templates_ready = 1;
    rt.file_downsample = 4;
    rt.snapshot_path = scratch_.path() / "snapshot.aep";
    fs::copy_file(kSample, *rt.snapshot_path, fs::copy_options::overwrite_existing);
    return rt;
  }
  // The plug-in's own worlds, the renderer and folder of the test.
  LaunchWorld launch_world(const PoolRuntime& rt) {
    LaunchWorld w = live_launch_world(rt, 0);
    w.resolve_aerender = [this](AerenderLookup&) -> const std::optional<fs::path>& { return aerender_; };
    w.pool_directory = [this]() -> std::optional<fs::path> { return pool_dir_; };
    // The machine's memory unknown: measured admission starts one engine
    // ("reason=Missing"), as in the launch the stall was seen at.
    w.available_memory = [] { return std::optional<uint64_t>(); };
    return w;
  }

  // Runs `call` on this thread, the main thread of the test, and answers
  // whether it came back within the bound.
  template <class Call>
  bool returns_at_once(Call call) {
    set_in_call(true);
    const uint64_t from = mono_ns();
    call();
    const uint64_t took = mono_ns() - from;
    set_in_call(false);
    slowest_ns_ = std::max(slowest_ns_, took);
    return took < kReturnBoundNs;
  }

  // The idle hook's share of the pool, called three times while held.
  void idle_calls_return_at_once(PoolRuntime& rt, const char* where) {
    for (int tick = 0; tick < 3; ++tick) {
      EXPECT_TRUE(returns_at_once([&] { pool_memory_tick(rt, mono_ns()); })) << where;
      EXPECT_TRUE(returns_at_once([&] { (void)supervise_batches(rt, 4, live_supervision_world(rt, 0, 0)); })) << where;
    }
  }

  // Waits for the pool's processes to be gone, the memory tick reaping
  // them; false when some outlive the wait.
  bool pool_processes_gone(PoolRuntime& rt) {
    return eventually([&] {
      pool_memory_tick(rt, mono_ns());
      return other_processes().empty();
    });
  }

  std::optional<fs::path> aerender_ = fs::path(kAerender);
  uint64_t slowest_ns_ = 0;
};

// Held inside a worker's start: the launch posts it and returns, the
// supervision and memory tick go on without the worker, and once released
// the worker becomes the batch's job; the pool's stop then ends it without
// waiting for it.
TEST_F(LaunchHold, TheMainThreadGoesOnWhileAWorkerStarts) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  const struct {
    HoldPoint point;
    const char* name;
  } points[] = {{HoldPoint::FolderAndLog, "folder and log"},
                {HoldPoint::BeforeSpawn, "before the spawn"},
                {HoldPoint::AfterSpawn, "after the spawn, exec not known"}};
  for (const auto& p : points) {
    PoolRuntime rt = ready_runtime();
    arm(p.point);
    const std::vector<FrameRange> ranges{{0, 9}, {10, 19}};
    EXPECT_TRUE(returns_at_once([&] { launch_pool_batch(rt, "Main", ranges, 24, 1, launch_world(rt)); })) << p.name;
    ASSERT_TRUE(rt.plan) << p.name;
    ASSERT_TRUE(held()) << p.name;
    EXPECT_EQ(rt.plan->starting.size(), 1u) << p.name;
    idle_calls_return_at_once(rt, p.name);
    ASSERT_TRUE(rt.plan) << p.name;
    EXPECT_TRUE(rt.plan->jobs.empty()) << p.name << ": the start is still held";
    EXPECT_TRUE(still_held()) << p.name;

    release();
    EXPECT_TRUE(eventually([&] {
      (void)supervise_batches(rt, 4, live_supervision_world(rt, 0, 0));
      return rt.plan && rt.plan->jobs.size() == 1;
    })) << p.name;
    const pid_t worker = rt.plan->jobs[0].child.pid();
    EXPECT_TRUE(eventually([&] { return alive(worker); })) << p.name;
    // The toggle's stop: the worker is signalled, reaped by a later poll.
    EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); })) << p.name;
    EXPECT_FALSE(rt.plan);
    EXPECT_TRUE(pool_processes_gone(rt)) << p.name;
  }
  EXPECT_TRUE(reached_on_main().empty());
  std::printf("slowest main-thread call while held: %.3f ms\n", static_cast<double>(slowest_ns_) / 1e6);
}

// Held in the output discovery's read of the job folder: the supervision
// only asks for the next read and takes a report when one is there.
TEST_F(LaunchHold, TheMainThreadGoesOnWhileTheJobFolderIsRead) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  PoolRuntime rt = ready_runtime();
  const std::vector<FrameRange> ranges{{0, 9}};
  launch_pool_batch(rt, "Main", ranges, 24, 1, launch_world(rt));
  ASSERT_TRUE(rt.plan);
  ASSERT_TRUE(eventually([&] {
    (void)supervise_batches(rt, 4, live_supervision_world(rt, 0, 0));
    return rt.plan && rt.plan->jobs.size() == 1;
  }));
  arm(HoldPoint::FolderScan);
  ASSERT_TRUE(eventually([&] {
    EXPECT_TRUE(returns_at_once([&] { (void)supervise_batches(rt, 4, live_supervision_world(rt, 0, 0)); }));
    return still_held();
  }));
  idle_calls_return_at_once(rt, "folder scan");
  EXPECT_TRUE(still_held());
  EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); }));
  release();
  EXPECT_TRUE(pool_processes_gone(rt));
  EXPECT_TRUE(reached_on_main().empty());
}

// A batch that ends while its first worker is held in its start: the end
// returns at once, and the worker started for it anyway is let go off the
// main thread.
TEST_F(LaunchHold, AWorkerStartedForABatchThatEndedMeanwhileIsLetGo) {
  ::setenv("SIM_AERENDER_SILENT", "1", 1);
  PoolRuntime rt = ready_runtime();
  arm(HoldPoint::AfterSpawn);
  const std::vector<FrameRange> ranges{{0, 9}};
  launch_pool_batch(rt, "Main", ranges, 24, 1, launch_world(rt));
  ASSERT_TRUE(rt.plan);
  ASSERT_TRUE(held());
  EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); }));
  EXPECT_FALSE(rt.plan);
  release();
  EXPECT_TRUE(wait_for_launch_thread(std::chrono::seconds(30)));
  EXPECT_TRUE(pool_processes_gone(rt));
  EXPECT_TRUE(reached_on_main().empty());
}

// Held in a walk over every process (the look for a running aerender the
// pool's stop asks for): the stop, the memory tick, a launch and the
// supervision all return at once, and the sweep happens once released.
TEST_F(LaunchHold, TheMainThreadGoesOnWhileAPoolThreadWalksTheProcesses) {
  ::setenv("SIM_AERENDER_EXIT_AFTER", "0", 1);
  ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1);
  std::vector<PoolJob> jobs;
  jobs.push_back(launch());
  const pid_t client = jobs[0].child.pid();
  ASSERT_TRUE(eventually([&] { return engines_of(client).size() == 1; }));
  const pid_t engine = engines_of(client)[0];
  std::vector<EndedClient> ended;
  std::vector<size_t> exited;
  ASSERT_TRUE(eventually([&] { return reap_exited_workers(jobs, ended, exited) == 0; }));
  ::unsetenv("SIM_AERENDER_EXIT_AFTER");
  ::unsetenv("SIM_AERENDER_ENGINE_LINGER_MS");

  PoolRuntime rt = ready_runtime();
  rt.ended_clients = ended;
  arm(HoldPoint::ProcessListing);
  EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); }));
  ASSERT_TRUE(held());
  EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); }));
  rt.pool_enabled = true;
  rt.snapshot_path = scratch_.path() / "snapshot.aep";
  const std::vector<FrameRange> ranges{{0, 9}};
  EXPECT_TRUE(returns_at_once([&] { launch_pool_batch(rt, "Main", ranges, 24, 1, launch_world(rt)); }));
  ASSERT_TRUE(rt.plan);
  EXPECT_EQ(rt.plan->starting.size(), 1u) << "the start waits behind the walk";
  idle_calls_return_at_once(rt, "process walk");
  EXPECT_TRUE(still_held());

  release();
  EXPECT_TRUE(returns_at_once([&] { stop_pool(rt, mono_ns()); }));
  // The engine of the ended client goes once a walk finds no aerender.
  EXPECT_TRUE(eventually([&] {
    stop_pool(rt, mono_ns());
    pool_memory_tick(rt, mono_ns());
    return !alive(engine);
  }));
  reap(engine);
  EXPECT_TRUE(pool_processes_gone(rt));
  EXPECT_TRUE(reached_on_main().empty());
}

}  // namespace
}  // namespace vel::testing
