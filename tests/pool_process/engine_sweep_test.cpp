// The engines of killed workers are swept on a thread of their own: every
// engine handed over goes, from any thread, and after the death hook's drain
// stopped that thread the next kill starts another.
#include <stdlib.h>

#include <chrono>
#include <thread>
#include <vector>

#include "cache/worker_registry.h"
#include "pool/process/engine_sweeper.h"
#include "pool/process/process_control.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

using namespace std::chrono_literals;

// Engines that outlive their client: only a sweep ends them.
struct LingeringEngines {
  LingeringEngines() { ::setenv("SIM_AERENDER_ENGINE_LINGER_MS", "60000", 1); }
  ~LingeringEngines() { ::unsetenv("SIM_AERENDER_ENGINE_LINGER_MS"); }
};

TEST_F(PoolProcessTest, EnginesOfKilledWorkersGoAlsoAfterTheSweepThreadWasStopped) {
  const LingeringEngines lingering;
  for (const char* round : {"first sweep thread", "after the drain"}) {
    PoolJob job = launch();
    const pid_t w = job.child.pid();
    ASSERT_TRUE(eventually([&] { return engines_of(w).size() == 1; })) << round;
    kill_pool_worker(job.child);
    EXPECT_TRUE(job.child.reaped()) << round;
    EXPECT_TRUE(wait_for_engine_sweeps(30s)) << round;
    EXPECT_TRUE(eventually([&] { return engines_of(w).empty(); })) << round;
    // As the host's quit does: the registry stops and joins the sweep thread.
    BackgroundWorkerRegistry::process().drain();
  }
}

TEST_F(PoolProcessTest, WorkersKilledFromTwoThreadsAtOnceLoseNoEngine) {
  const LingeringEngines lingering;
  std::vector<PoolJob> jobs;
  for (int i = 0; i < 4; ++i) jobs.push_back(launch());
  for (const PoolJob& job : jobs) ASSERT_TRUE(eventually([&] { return engines_of(job.child.pid()).size() == 1; }));
  const auto kill_two = [&](size_t from) {
    WorkerChild* two[] = {&jobs[from].child, &jobs[from + 1].child};
    kill_pool_workers(two);
  };
  std::thread other(kill_two, 2);
  kill_two(0);
  other.join();
  EXPECT_TRUE(wait_for_engine_sweeps(30s));
  for (const PoolJob& job : jobs) {
    EXPECT_TRUE(job.child.reaped());
    EXPECT_TRUE(eventually([&] { return engines_of(job.child.pid()).empty(); })) << job.child.pid();
  }
}

}  // namespace
}  // namespace vel::testing
