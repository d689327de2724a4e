// The process-tree walk and the CPU arithmetic of the monitor's samples.
#include <gtest/gtest.h>

#include <functional>

#include "pool/process/client_tree.h"
#include "pool/process/proc_facts.h"
#include "pool/process/process_monitor.h"

namespace vel {
namespace {

constexpr uint32_t kHost = 100;
constexpr uint32_t kMe = 1000;

struct Row {
  uint32_t pid, ppid;
  uint64_t rss;
  std::vector<std::string> args;
  uint32_t uid = kMe;
};

MemoryListing listing_of(const std::vector<Row>& rows) {
  MemoryListing l;
  for (const Row& r : rows) l.add(r.pid, r.ppid, r.uid, r.rss, join_arguments(r.args));
  l.usable = true;
  return l;
}

std::vector<Row> one_client() {
  return {{1, 0, 10, {"init"}, 0},
          {kHost, 1, 500, {"host"}},
          {200, kHost, 40, {"aerender", "-project", "p"}},
          {300, 200, 100, {"/x/aerendercore", "-noui", "-aerenderpid", "200"}},
          {301, 300, 5, {"aerendercore", "-helper"}},
          {400, 1, 7, {"unrelated"}}};
}

TEST(ClientTree, ClientEnginesAndDescendantsInListingOrder) {
  const auto tree = client_process_tree(listing_of(one_client()), 200, kHost);
  ASSERT_TRUE(tree);
  EXPECT_EQ(*tree, (std::vector<size_t>{2, 3, 4}));
}

TEST(ClientTree, CasesThatGiveNothing) {
  struct Case {
    const char* why;
    std::function<void(std::vector<Row>&)> edit;
  };
  const std::vector<Case> cases = {
      {"no engine", [](auto& r) { r.erase(r.begin() + 3, r.begin() + 5); }},
      {"a descendant of another user", [](auto& r) { r[4].uid = 0; }},
      {"a client of another user", [](auto& r) { r[2].uid = 0; }},
      {"a client listing 0 bytes", [](auto& r) { r[2].rss = 0; }},
      {"the host not listed", [](auto& r) { r.erase(r.begin() + 1); }},
      {"the engine another user's", [](auto& r) { r[3].uid = 0, r[4].uid = 0; }},
  };
  for (const Case& c : cases) {
    auto rows = one_client();
    c.edit(rows);
    EXPECT_FALSE(client_process_tree(listing_of(rows), 200, kHost)) << c.why;
  }
}

TEST(ClientTree, ParentCyclesEnd) {
  auto rows = one_client();
  rows.push_back({500, 501, 1, {"a"}});
  rows.push_back({501, 500, 1, {"b"}});
  rows.push_back({502, 502, 1, {"c"}});
  rows[2].ppid = 301;  // the client under its own engine's helper
  const auto tree = client_process_tree(listing_of(rows), 200, kHost);
  ASSERT_TRUE(tree);
  EXPECT_EQ(tree->size(), 3u);
}

TEST(ClientUsage, ResidentTotalsAndMisses) {
  std::vector<Row> rows = one_client();
  rows.push_back({600, kHost, 10, {"aerender"}});
  rows.push_back({601, 600, 0, {"aerendercore", "-aerenderpid", "600"}});
  MemoryListing listing = listing_of(rows);
  CpuListing cpu;
  for (uint32_t pid : {200u, 300u, 301u, 600u}) cpu[pid] = {pid * 10ull, "s" + std::to_string(pid)};
  const std::vector<uint32_t> clients = {200, 600, 999};
  const auto usages = client_usages(clients, listing, cpu, kHost);
  ASSERT_EQ(usages.size(), 3u);
  EXPECT_EQ(usages[0].resident_bytes, 145u);
  ASSERT_TRUE(usages[0].cpu);
  EXPECT_EQ(usages[0].cpu->size(), 3u);
  EXPECT_EQ((*usages[0].cpu)[1].pid, 300u);
  EXPECT_FALSE(usages[1].resident_bytes) << "a process of 0 bytes in the tree";
  EXPECT_FALSE(usages[1].cpu) << "the engine is missing from the CPU listing";
  EXPECT_FALSE(usages[2].resident_bytes);
  listing.usable = false;
  EXPECT_FALSE(client_usages(clients, listing, cpu, kHost)[0].resident_bytes);
}

TEST(HostCpuTicks, BusyLeavesOutIdleAndIowait) {
  const auto t = parse_host_cpu_ticks("cpu  100 5 50 1000 20 3 2 1 40 0\ncpu0 1 2 3\n");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->total, 1181u);
  EXPECT_EQ(t->busy, 161u);
  EXPECT_FALSE(parse_host_cpu_ticks("cpu0 1 2 3 4 5 6 7 8\n"));
  EXPECT_FALSE(parse_host_cpu_ticks("cpu  1 2 3\n"));
}

TEST(CounterGrowth, SumsWhileEntriesMatch) {
  const std::vector<CpuEntry> a = {{"s1", 100, 7, 7}, {"s2", 50, 7, 8}};
  std::vector<CpuEntry> b = {{"s1", 160, 7, 7}, {"s2", 70, 7, 8}};
  EXPECT_EQ(sum_counter_growth(a, b), std::make_pair(true, uint64_t{80}));
  b[1].start_text = "s9";
  EXPECT_EQ(sum_counter_growth(a, b), std::make_pair(false, uint64_t{60}));
  b[1] = {"s2", 40, 7, 8};
  EXPECT_FALSE(sum_counter_growth(a, b).first) << "a counter that went down";
  const std::vector<CpuEntry> low = {{"x", 0, 1, 1}, {"y", 0, 1, 2}};
  const std::vector<CpuEntry> high = {{"x", UINT64_MAX, 1, 1}, {"y", 1, 1, 2}};
  EXPECT_FALSE(sum_counter_growth(low, high).first) << "an overflowing sum";
  EXPECT_FALSE(sum_counter_growth(a, std::vector<CpuEntry>{a[0]}).first);
}

PoolMemorySample cpu_sample(uint64_t start_ms, uint64_t end_ms, uint64_t cpu_ms, uint64_t busy, uint64_t total,
                            const char* start_text = "s") {
  PoolMemorySample s;
  s.started_ns = start_ms * 1'000'000;
  s.ended_ns = end_ms * 1'000'000;
  s.cpu = SampleCpuPart{{{start_text, cpu_ms * 1'000'000, 7, 8}}, s.started_ns, s.ended_ns, 4, {busy, total}};
  return s;
}

TEST(CpuShare, WindowOverlapRestartTicksAndCap) {
  const PoolMemorySample prev = cpu_sample(0, 100, 1000, 100, 1000);
  struct Case {
    const char* why;
    PoolMemorySample cur;
    std::optional<double> process;
    std::optional<double> host;
  };
  const std::vector<Case> cases = {
      {"0.5 s inclusive", cpu_sample(500, 600, 1500, 150, 1100), 25.0, 50.0},
      {"3.0 s inclusive", cpu_sample(3000, 3100, 7000, 150, 1100), 50.0, 50.0},
      {"below 0.5 s", cpu_sample(500, 599, 1500, 150, 1100), std::nullopt, std::nullopt},
      {"above 3.0 s", cpu_sample(3000, 3101, 1500, 150, 1100), std::nullopt, std::nullopt},
      {"overlapping samples", cpu_sample(99, 1100, 1500, 150, 1100), std::nullopt, std::nullopt},
      {"restart under the same pid", cpu_sample(500, 1100, 1500, 150, 1100, "t"), std::nullopt, std::nullopt},
      {"host total did not grow", cpu_sample(500, 1100, 1500, 150, 1000), std::nullopt, std::nullopt},
      {"host busy went down", cpu_sample(500, 1100, 1500, 90, 1100), std::nullopt, std::nullopt},
      {"busy grew more than total", cpu_sample(500, 1100, 1500, 300, 1100), std::nullopt, std::nullopt},
      {"capped at 100", cpu_sample(500, 1100, 1000 + 4 * 1000 * 104 / 100, 150, 1100), 100.0, 50.0},
      {"above 105 refused", cpu_sample(500, 1100, 1000 + 4 * 1000 * 106 / 100, 150, 1100), std::nullopt,
       std::nullopt},
  };
  for (const Case& c : cases) {
    const auto share = cpu_share_between_samples(prev, c.cur);
    EXPECT_EQ(share.has_value(), c.process.has_value()) << c.why;
    if (share && c.process) {
      EXPECT_NEAR(share->process_percent, *c.process, 1e-9) << c.why;
      EXPECT_NEAR(share->host_busy_percent, *c.host, 1e-9) << c.why;
    }
  }
  PoolMemorySample other_threads = cpu_sample(500, 1100, 1500, 150, 1100);
  other_threads.cpu->hardware_threads = 8;
  EXPECT_FALSE(cpu_share_between_samples(prev, other_threads));
  PoolMemorySample no_cpu = cpu_sample(500, 1100, 1500, 150, 1100);
  no_cpu.cpu.reset();
  EXPECT_FALSE(cpu_share_between_samples(prev, no_cpu));
}

}  // namespace
}  // namespace vel
