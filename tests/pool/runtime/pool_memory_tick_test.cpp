#include "pool/runtime/pool_memory_tick.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "core/switches.h"

namespace vel {
namespace {

constexpr Instant kTickT0 = 1000 * kNsPerSec;
constexpr uint64_t GB = 1'000'000'000;

// A tick world that starts no thread and kills nothing: it records.
struct FakeTick {
  std::vector<std::vector<uint32_t>> sampler_starts;
  std::vector<ChannelSender<PoolMemorySample>> senders;
  std::vector<std::vector<EndedClient>> sweeps;
  bool aerender_running = false;

  MemoryTickWorld world() {
    MemoryTickWorld w;
    w.start_sampler = [this](std::vector<uint32_t> pids, ChannelSender<PoolMemorySample> out) -> Status<> {
      sampler_starts.push_back(std::move(pids));
      senders.push_back(std::move(out));
      return ok_unit();
    };
    w.any_aerender_running = [this] { return aerender_running; };
    w.sweep_clients = [this](std::vector<EndedClient> c) { sweeps.push_back(std::move(c)); };
    w.physical_memory = [] { return std::optional<uint64_t>(16 * GB); };
    return w;
  }
};

std::vector<pid_t> pids_of(const std::vector<EndedClient>& clients) {
  std::vector<pid_t> out;
  for (const auto& c : clients) out.push_back(c.pid);
  return out;
}

TEST(WarmWindowSweep, WaitsTwentySecondsAndKeepsTheLatestWhileActive) {
  struct Case {
    const char* name;
    bool enabled_and_active;
    Instant at;
    std::vector<pid_t> swept;
  } cases[] = {
      {"19.9 s after the older end", false, kTickT0 + 19'900 * kNsPerMs, {}},
      {"20 s after the older end", false, kTickT0 + 20 * kNsPerSec, {101}},
      {"both old, pool inactive", false, kTickT0 + 40 * kNsPerSec, {101, 102}},
      {"both old, pool active keeps the latest", true, kTickT0 + 40 * kNsPerSec, {101}},
  };
  for (const Case& c : cases) {
    FakeTick fake;
    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.pool_enabled = c.enabled_and_active;
    rt.pool_active = c.enabled_and_active;
    rt.ended_clients = {{101, kTickT0, 5}, {102, kTickT0 + 10 * kNsPerSec, 6}};
    pool_memory_tick(rt, c.at, fake.world());
    const std::vector<pid_t> swept = fake.sweeps.empty() ? std::vector<pid_t>{} : pids_of(fake.sweeps[0]);
    EXPECT_EQ(swept, c.swept) << c.name;
    EXPECT_EQ(rt.ended_clients.size(), 2 - c.swept.size()) << c.name;
  }
}

TEST(WarmWindowSweep, SweepsAtLeastTenSecondsApartEvenWhenPostponed) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.ended_clients = {{101, kTickT0, 5}};
  const Instant t = kTickT0 + 30 * kNsPerSec;
  fake.aerender_running = true;
  pool_memory_tick(rt, t, fake.world());  // postponed, but it counts as a sweep
  fake.aerender_running = false;
  pool_memory_tick(rt, t + 9'999 * kNsPerMs, fake.world());
  EXPECT_TRUE(fake.sweeps.empty());
  pool_memory_tick(rt, t + 10 * kNsPerSec, fake.world());
  ASSERT_EQ(fake.sweeps.size(), 1u);
  EXPECT_EQ(fake.sweeps[0][0].ended_boot_ns, std::optional<uint64_t>(5));  // for the verified engine rule
  EXPECT_TRUE(rt.ended_clients.empty());
}

TEST(WarmWindowSweep, NeverWhileABatchRuns) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.ended_clients = {{101, kTickT0, 5}};
  rt.plan.emplace();
  pool_memory_tick(rt, kTickT0 + 60 * kNsPerSec, fake.world());
  EXPECT_TRUE(fake.sweeps.empty());
}

ClientUsage client(uint32_t pid, std::optional<uint64_t> bytes) { return {pid, bytes, std::nullopt}; }

TEST(MemoryPeaks, OnlyACompleteSampleRaisesThem) {
  struct Case {
    const char* name;
    std::vector<ClientUsage> clients;
    uint64_t group, total, groups;
  } cases[] = {
      {"one client without a total", {client(1, 1'200'000'000), client(2, std::nullopt)}, 7, 9, 3},
      {"one client at 0", {client(1, 1'200'000'000), client(2, 0)}, 7, 9, 3},
      {"1.2 GB and 0.8 GB", {client(1, 1'200'000'000), client(2, 800'000'000)}, 1'200'000'000, 2'000'000'000, 2},
  };
  for (const Case& c : cases) {
    PoolRuntime rt = new_pool_runtime(kOutputPsd);
    rt.group_rss_peak = 7;
    rt.worker_bytes_estimate = 7;
    rt.total_rss_peak = 9;
    rt.concurrent_groups = 3;
    PoolMemorySample sample;
    sample.clients = c.clients;
    if (auto f = sample_memory_figures(sample)) raise_memory_peaks(rt, *f);
    EXPECT_EQ(rt.group_rss_peak, c.group) << c.name;
    EXPECT_EQ(rt.worker_bytes_estimate, c.group) << c.name;
    EXPECT_EQ(rt.total_rss_peak, c.total) << c.name;
    EXPECT_EQ(rt.concurrent_groups, c.groups) << c.name;
  }
}

SampleCpuPart cpu_part(uint64_t start, uint64_t end, std::vector<uint32_t> pids) {
  SampleCpuPart p;
  p.started_ns = start;
  p.ended_ns = end;
  p.hardware_threads = 8;
  p.host = {100, 400};
  for (uint32_t pid : pids) p.entries.push_back({"start-" + std::to_string(pid), 1'000'000, 50, pid});
  return p;
}

TEST(AcceptPoolMemorySample, RefusalsClearTheCurrentSample) {
  struct Case {
    const char* name;
    SampleCpuPart part;
    bool accepted;
  } cases[] = {
      {"a span of 3 s", cpu_part(kTickT0, kTickT0 + 3 * kNsPerSec, {3, 1, 2}), true},
      {"a span of 3.000000001 s", cpu_part(kTickT0, kTickT0 + 3 * kNsPerSec + 1, {1, 2}), false},
      {"a duplicate pid", cpu_part(kTickT0, kTickT0 + kNsPerSec, {1, 2, 1}), false},
      {"no entry", cpu_part(kTickT0, kTickT0 + kNsPerSec, {}), false},
      {"an end before the start", cpu_part(kTickT0, kTickT0 - 1, {1}), false},
      {"a pid 0", cpu_part(kTickT0, kTickT0 + kNsPerSec, {0, 1}), false},
  };
  for (const Case& c : cases) {
    std::optional<PoolMemorySample> current = PoolMemorySample{};
    current->cpu = cpu_part(kTickT0 - 2 * kNsPerSec, kTickT0 - kNsPerSec, {1});
    EXPECT_FALSE(accept_pool_memory_sample(current, c.part).has_value()) << c.name;
    EXPECT_EQ(current.has_value(), c.accepted) << c.name;
    if (c.accepted) {
      ASSERT_TRUE(current->cpu);
      EXPECT_EQ(current->cpu->entries[0].pid, 1u) << "sorted by pid";
    }
  }
}

TEST(AcceptPoolMemorySample, AfterARefusalTheNextGivesNoShare) {
  std::optional<PoolMemorySample> current;
  auto later = [](SampleCpuPart p, uint64_t cpu_ns, uint64_t busy, uint64_t total) {
    for (auto& e : p.entries) e.cpu_ns = cpu_ns;
    p.host = {busy, total};
    return p;
  };
  EXPECT_FALSE(accept_pool_memory_sample(current, cpu_part(kTickT0, kTickT0 + 1000, {1, 2})));
  const auto shares =
      accept_pool_memory_sample(current, later(cpu_part(kTickT0 + kNsPerSec, kTickT0 + kNsPerSec + 1000, {2, 1}), 3'000'000, 200, 800));
  ASSERT_TRUE(shares);
  EXPECT_GT(shares->host_busy_percent, 0.0);
  EXPECT_FALSE(accept_pool_memory_sample(current, cpu_part(kTickT0, kTickT0 + 4 * kNsPerSec, {1})));
  EXPECT_FALSE(current);
  EXPECT_FALSE(accept_pool_memory_sample(current, cpu_part(kTickT0 + 5 * kNsPerSec, kTickT0 + 5 * kNsPerSec + 10, {1, 2})));
}

TEST(MemorySampler, StartsAtMostOncePerSecondAndOnlyForLiveJobs) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.plan.emplace();
  rt.plan->jobs.resize(2);
  for (auto& job : rt.plan->jobs) job.finished = true;
  pool_memory_tick(rt, kTickT0, fake.world());
  EXPECT_TRUE(fake.sampler_starts.empty()) << "every job has exited";

  rt.plan->jobs[1].finished = false;
  rt.plan->jobs[1].child = WorkerChild{std::make_shared<SpawnedChild>(4242, -1)};
  pool_memory_tick(rt, kTickT0, fake.world());
  ASSERT_EQ(fake.sampler_starts.size(), 1u);
  EXPECT_EQ(fake.sampler_starts[0], std::vector<uint32_t>{4242});
  fake.senders.clear();  // the sampler ends without a sample
  pool_memory_tick(rt, kTickT0 + 999 * kNsPerMs, fake.world());
  EXPECT_FALSE(rt.sampler);
  EXPECT_EQ(fake.sampler_starts.size(), 1u);
  pool_memory_tick(rt, kTickT0 + kNsPerSec, fake.world());
  EXPECT_EQ(fake.sampler_starts.size(), 2u);
  rt.plan->jobs[1].child.link->mark_reaped(1);  // never signal what the test invented
}

TEST(MemorySampler, ASampleRaisesThePeaksAndEndsTheRun) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.plan.emplace();
  rt.plan->jobs.resize(1);
  rt.plan->jobs[0].child = WorkerChild{std::make_shared<SpawnedChild>(4242, -1)};
  pool_memory_tick(rt, kTickT0, fake.world());
  ASSERT_EQ(fake.senders.size(), 1u);
  PoolMemorySample sample;
  sample.clients = {client(4242, 900'000'000)};
  sample.available_bytes = 8 * GB;
  sample.started_ns = kTickT0;
  sample.ended_ns = kTickT0 + 50 * kNsPerMs;
  fake.senders[0].send(std::move(sample));
  pool_memory_tick(rt, kTickT0 + 100 * kNsPerMs, fake.world());
  EXPECT_FALSE(rt.sampler);
  EXPECT_EQ(rt.group_rss_peak, 900'000'000u);
  EXPECT_EQ(rt.concurrent_groups, 1u);
  rt.plan->jobs[0].child.link->mark_reaped(1);
}

// A worker that ended while the listing ran is left out of the engine
// sample; the series of the engine still running goes on.
TEST(MemorySampler, AWorkerThatEndedDuringTheListingIsNoEngineOfTheSample) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.plan.emplace();
  rt.plan->jobs.resize(2);
  rt.plan->jobs[0].child = WorkerChild{std::make_shared<SpawnedChild>(4242, -1)};
  rt.plan->jobs[1].child = WorkerChild{std::make_shared<SpawnedChild>(4343, -1)};
  const auto sample_at = [&](Instant start, std::vector<ClientUsage> clients) {
    pool_memory_tick(rt, start, fake.world());
    ASSERT_FALSE(fake.senders.empty());
    PoolMemorySample sample;
    sample.clients = std::move(clients);
    sample.available_bytes = 8 * GB;
    sample.started_ns = start;
    sample.ended_ns = start + 50 * kNsPerMs;
    fake.senders.back().send(std::move(sample));
    pool_memory_tick(rt, start + 100 * kNsPerMs, fake.world());
  };
  sample_at(kTickT0, {client(4242, 900'000'000), client(4343, 800'000'000)});
  ASSERT_EQ(rt.engine_samples.samples.size(), 1u);
  rt.plan->jobs[1].finished = true;  // ended while the next listing ran
  sample_at(kTickT0 + kNsPerSec, {client(4242, 900'000'000), client(4343, std::nullopt)});
  ASSERT_EQ(rt.engine_samples.samples.size(), 1u) << "a new series, with one engine";
  EXPECT_EQ(rt.engine_samples.samples.back().engine_bytes, std::vector<uint64_t>{900'000'000});
  sample_at(kTickT0 + 2 * kNsPerSec, {client(4242, 900'000'000)});
  EXPECT_EQ(rt.engine_samples.samples.size(), 2u) << "and it goes on";
  // A running worker without a figure still spoils the sample.
  sample_at(kTickT0 + 3 * kNsPerSec, {client(4242, std::nullopt)});
  EXPECT_TRUE(rt.engine_samples.samples.empty());
  for (PoolJob& job : rt.plan->jobs) job.child.link->mark_reaped(1);
}

// The engine sample carries the batch's frame counter the scheduler's rates
// are made of: the frames of the workers still running when measured
// admission and the adaptive scheduler both run, else every useful frame;
// never the frames delivered, which count frames the cache already held.
TEST(MemorySampler, TheSampleCarriesTheCounterTheSwitchesName) {
  FakeTick fake;
  PoolRuntime rt = new_pool_runtime(kOutputPsd);
  rt.plan.emplace();
  rt.plan->jobs.resize(1);
  rt.plan->jobs[0].child = WorkerChild{std::make_shared<SpawnedChild>(4242, -1)};
  rt.plan->ledger.delivered = 31;
  rt.plan->ledger.useful_frames = 17;
  rt.plan->ledger.cohort_frames = 5;
  pool_memory_tick(rt, kTickT0, fake.world());
  ASSERT_EQ(fake.senders.size(), 1u);
  PoolMemorySample sample;
  sample.clients = {client(4242, 900'000'000)};
  sample.available_bytes = 8 * GB;
  sample.started_ns = kTickT0;
  sample.ended_ns = kTickT0 + 50 * kNsPerMs;
  fake.senders[0].send(std::move(sample));
  pool_memory_tick(rt, kTickT0 + 100 * kNsPerMs, fake.world());
  ASSERT_EQ(rt.engine_samples.samples.size(), 1u);
  const uint64_t expected = measured_admission_enabled() && adaptive_scheduler_enabled() ? 5 : 17;
  EXPECT_EQ(rt.engine_samples.samples.back().frames, expected);
  EXPECT_EQ(rt.engine_samples.samples.back().frame_instant_ns, kTickT0 + 100 * kNsPerMs);
  rt.plan->jobs[0].child.link->mark_reaped(1);
}

TEST(PoolMemoryLine, PrintsTheSample) {
  PoolMemorySample s;
  s.clients = {client(1, 1'000), client(2, 2'000)};
  s.available_bytes = 5'000;
  s.started_ns = kTickT0;
  s.ended_ns = kTickT0 + 12'340'000;
  EXPECT_EQ(pool_memory_line(s, 16'000, 1'500),
            "POOL_MEMORY clients=2 available_bytes=5000 total_bytes=Some(16000) rss_total_bytes=3000 "
            "peak_engine_bytes=1500 collection_ms=12.3");
  EXPECT_NE(pool_memory_line(s, std::nullopt, 0).find("total_bytes=None"), std::string::npos);
}

TEST(NextGroupChange, StopsAtTheLastEntryOfEachClient) {
  std::vector<CpuEntry> entries{{"a", 0, 7, 1}, {"b", 0, 7, 2}, {"c", 0, 9, 3}, {"d", 0, 4, 4}};
  size_t at = 0;
  ASSERT_TRUE(next_group_change(entries, at));
  EXPECT_EQ(at, 1u);
  ++at;
  ASSERT_TRUE(next_group_change(entries, at));
  EXPECT_EQ(at, 2u);
  ++at;
  EXPECT_FALSE(next_group_change(entries, at));
  std::vector<CpuEntry> none;
  at = 0;
  EXPECT_FALSE(next_group_change(none, at));
}

}  // namespace
}  // namespace vel
