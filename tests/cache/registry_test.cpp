#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "cache/worker_registry.h"
#include "pack_test_support.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

// A worker that runs until its stop handle is called.
struct Parked {
  std::atomic<bool> stop{false};
  std::function<void()> body() {
    return [this] {
      while (!stop) std::this_thread::sleep_for(1ms);
    };
  }
  std::function<void()> stopper() {
    return [this] { stop = true; };
  }
};

bool eventually(const std::function<bool()>& cond) {
  for (int i = 0; i < 5000 && !cond(); ++i) std::this_thread::sleep_for(1ms);
  return cond();
}

TEST(RegistryTest, LimitRefusesThenReapingMakesRoom) {
  LogCapture log;
  BackgroundWorkerRegistry reg;
  std::vector<std::unique_ptr<Parked>> parked;
  for (size_t i = 0; i < kBackgroundWorkerLimit; ++i) {
    parked.push_back(std::make_unique<Parked>());
    ASSERT_TRUE(reg.start("velocinta-test", parked.back()->body(), parked.back()->stopper()).ok());
  }
  Parked extra;
  Status<> refused = reg.start("velocinta-test", extra.body(), extra.stopper());
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(log.contains("ERROR: cache: background worker limit reached"));

  parked[3]->stop = true;  // one worker ends by itself
  ASSERT_TRUE(eventually([&] { return reg.live_count() == kBackgroundWorkerLimit - 1; }));
  EXPECT_TRUE(reg.start("velocinta-test", extra.body(), extra.stopper()).ok());
  EXPECT_FALSE(log.contains("terminated unexpectedly"));
  reg.drain();
  EXPECT_EQ(reg.live_count(), 0u);
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// Callers ask again on every idle call while the registry is full: an
// afternoon of that must not fill the log.
TEST(RegistryTest, RefusalsRepeatedCallAfterCallAreLoggedOnceThenCounted) {
  LogCapture log;
  BackgroundWorkerRegistry reg(/*limit=*/1);
  Parked held;
  ASSERT_TRUE(reg.start("velocinta-test", held.body(), held.stopper()).ok());
  Parked refused;
  for (int i = 0; i < 500; ++i) ASSERT_FALSE(reg.start("velocinta-test", refused.body(), refused.stopper()).ok());
  EXPECT_EQ(count_of(log.text(), "cache: background worker limit reached"), 1u) << log.text();

  reg.drain();  // room again: the next start ends the condition
  ASSERT_TRUE(reg.start("velocinta-test", refused.body(), refused.stopper()).ok());
  const std::string summary = "INFO: cache: background worker limit reached (repeated 499 more times, then stopped)";
  EXPECT_EQ(count_of(log.text(), summary), 1u) << log.text();
  ASSERT_FALSE(reg.start("velocinta-test", held.body(), held.stopper()).ok());
  EXPECT_EQ(count_of(log.text(), "ERROR: cache: background worker limit reached\n"), 2u) << "a new episode is written";
  reg.drain();
}

TEST(RegistryTest, FailedWorkerIsReportedWhenReaped) {
  LogCapture log;
  BackgroundWorkerRegistry reg;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(reg.start("velocinta-test", [&] { ran = true; throw std::runtime_error("boom"); }, [] {}).ok());
  ASSERT_TRUE(eventually([&] { return reg.live_count() == 0; }));
  EXPECT_TRUE(ran);
  EXPECT_TRUE(log.contains("ERROR: cache: background worker terminated unexpectedly"));
}

// Each worker winds down only once every worker has been told to stop, as
// a worker blocked on another's output would: a drain that joined one
// worker before stopping the next would wait for the bounded timeout.
TEST(RegistryTest, DrainStopsEveryWorkerBeforeJoiningAny) {
  BackgroundWorkerRegistry reg;
  constexpr int kWorkers = 4;
  std::atomic<int> stopped{0};
  std::atomic<int> saw_all{0};
  for (int i = 0; i < kWorkers; ++i) {
    ASSERT_TRUE(reg.start(
                       "velocinta-test",
                       [&] {
                         const auto deadline = std::chrono::steady_clock::now() + 2s;
                         while (stopped < kWorkers && std::chrono::steady_clock::now() < deadline) {
                           std::this_thread::sleep_for(1ms);
                         }
                         if (stopped == kWorkers) ++saw_all;
                       },
                       [&] { ++stopped; })
                    .ok());
  }
  reg.drain();
  EXPECT_EQ(saw_all, kWorkers);
  EXPECT_EQ(reg.live_count(), 0u);
  // Still usable after a drain.
  Parked p;
  EXPECT_TRUE(reg.start("velocinta-test", p.body(), p.stopper()).ok());
  reg.drain();
}

TEST(RegistryTest, CacheWorkersStartThroughTheRegistryAndItsLimit) {
  LogCapture log;
  BackgroundWorkerRegistry reg(/*limit=*/1);
  Parked first, second;
  std::vector<CacheWorkerEntry> workers;
  workers.push_back(CacheWorkerEntry{"velocinta-witness", first.body(), first.stopper()});
  workers.push_back(CacheWorkerEntry{"velocinta-witness-2", second.body(), second.stopper()});
  EXPECT_EQ(start_cache_workers(std::move(workers), reg), 1u);
  EXPECT_EQ(reg.live_count(), 1u);
  EXPECT_TRUE(log.contains("ERROR: cache: background worker limit reached"));
  reg.drain();
  EXPECT_TRUE(first.stop) << "the death hook's drain stops the started worker";
}

}  // namespace
}  // namespace vel
