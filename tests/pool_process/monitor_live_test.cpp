// The monitor against stand-in workers whose memory and CPU are known.
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "core/machine.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_monitor.h"
#include "pool_process/pool_process_fixture.h"

namespace vel::testing {
namespace {

// Run time from the scheduler's own counter (nanoseconds, per thread in
// /proc/PID/task/TID/schedstat),
// another account than the clock ticks the monitor reads.
uint64_t run_ns_of(const std::vector<pid_t>& pids) {
  uint64_t sum = 0;
  for (pid_t pid : pids) {
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
      const auto text = read_small_file((task.path() / "schedstat").string(), 256);
      if (text && !text->empty()) sum += std::stoull(*text);
    }
  }
  return sum;
}

uint64_t rss_of(pid_t pid) {
  const auto f = read_process_facts(pid, FactsWanted::WithMemory);
  return f && f->rss_bytes ? *f->rss_bytes : 0;
}

TEST_F(PoolProcessTest, AWorkersResidentTotalMatchesWhatItsEngineTouched) {
  constexpr uint64_t kMiB = 1 << 20;
  // The same worker without the allocation gives the baseline of a client
  // and an engine (sanitizer builds make it large).
  ::setenv("SIM_AERENDER_ENGINE_HELPER", "1", 1);
  PoolJob idle = launch();
  ::setenv("SIM_AERENDER_ENGINE_MIB", "200", 1);
  PoolJob busy = launch();
  ASSERT_TRUE(eventually([&] { return engines_of(idle.child.pid()).size() == 1; }));
  ASSERT_TRUE(eventually([&] {
    const auto e = engines_of(busy.child.pid());
    return e.size() == 1 && rss_of(e[0]) >= 200 * kMiB;
  }));
  const std::vector<uint32_t> clients = {static_cast<uint32_t>(idle.child.pid()), static_cast<uint32_t>(busy.child.pid()),
                                         999'999};
  const PoolMemorySample s = take_pool_memory_sample(clients, false);
  ASSERT_EQ(s.clients.size(), 3u);
  ASSERT_TRUE(s.clients[0].resident_bytes);
  ASSERT_TRUE(s.clients[1].resident_bytes);
  EXPECT_FALSE(s.clients[2].resident_bytes);
  const double expected = static_cast<double>(*s.clients[0].resident_bytes + 200 * kMiB);
  EXPECT_NEAR(static_cast<double>(*s.clients[1].resident_bytes), expected, expected * 0.10);
  EXPECT_TRUE(s.available_bytes);
  EXPECT_FALSE(s.cpu);
  kill_pool_worker(idle.child);
  kill_pool_worker(busy.child);
}

TEST_F(PoolProcessTest, EnginesBurningACoreEachShowInTheProcessShare) {
  const auto threads = memory_and_cpu_count().cpu_count;
  ASSERT_TRUE(threads);
  ::setenv("SIM_AERENDER_ENGINES", "2", 1);
  ::setenv("SIM_AERENDER_ENGINE_CPU", "100", 1);
  PoolJob job = launch();
  ASSERT_TRUE(eventually([&] { return engines_of(job.child.pid()).size() == 2; }));
  const std::vector<uint32_t> clients = {static_cast<uint32_t>(job.child.pid())};
  std::vector<pid_t> tree = engines_of(job.child.pid());
  tree.push_back(job.child.pid());
  const PoolMemorySample first = take_pool_memory_sample(clients, true);
  const uint64_t run_before = run_ns_of(tree);
  // The share is defined over 0.5 to 3 s between samples: one second apart.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const PoolMemorySample second = take_pool_memory_sample(clients, true);
  const uint64_t run_after = run_ns_of(tree);
  ASSERT_TRUE(first.cpu);
  ASSERT_TRUE(second.cpu);
  EXPECT_EQ(second.cpu->entries.size(), 3u) << "the client and its two engines";
  const auto share = cpu_share_between_samples(first, second);
  ASSERT_TRUE(share);
  // Two engines burn a core each: 2 / threads of the machine when it has
  // the cores to spare. On a loaded machine they get less, so the figure to
  // meet is what the scheduler says they ran.
  const double elapsed_ns = static_cast<double>(second.ended_ns - first.ended_ns);
  const double expected = static_cast<double>(run_after - run_before) / elapsed_ns / *threads * 100.0;
  EXPECT_LE(expected, 2.0 / *threads * 100.0 + 5.0);
  EXPECT_NEAR(share->process_percent, std::min(expected, 100.0), 15.0);
  EXPECT_GE(share->host_busy_percent, 0.0);
  EXPECT_LE(share->host_busy_percent, 100.0);
  kill_pool_worker(job.child);
}

}  // namespace
}  // namespace vel::testing
