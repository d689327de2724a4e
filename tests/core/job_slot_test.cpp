#include "core/job_slot.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/threads.h"

namespace vel {
namespace {

struct Result {
  uint64_t generation = 0;
  uint64_t bytes = 0;
};
uint64_t bytes_of(const Result& r) { return r.bytes; }

TEST(JobSlot, RenewRaisesGenerationDropsReceiverAndFreshCancelFlag) {
  JobSlot<Result> slot;
  auto tx = open_job_channel(slot, 2);
  auto old_cancel = slot.cancel;
  const uint64_t g0 = slot.generation->load();
  renew_job_slot(slot);
  EXPECT_EQ(g0 + 1, slot.generation->load());
  EXPECT_FALSE(slot.running());
  EXPECT_NE(old_cancel.get(), slot.cancel.get());
  old_cancel->store(true);  // a thread of the old job raising its flag
  EXPECT_FALSE(slot.cancel->load());
  EXPECT_FALSE(tx.send({g0, 1})) << "a sender of the old job finds the receiver gone";
}

TEST(JobSlot, WaitingSenderIsReleasedWhenTheSlotIsRenewed) {
  JobSlot<Result> slot;
  auto tx = open_job_channel(slot, 1);
  ASSERT_TRUE(tx.send({0, 1}));
  std::atomic<int> outcome{-1};
  auto t = spawn_named_thread("velocinta-test", [&] { outcome = tx.send({0, 1}) ? 1 : 0; });
  ASSERT_TRUE(t.ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(-1, outcome.load()) << "the channel is full: the sender waits";
  renew_job_slot(slot);
  t.value().join();
  EXPECT_EQ(0, outcome.load());
}

// A sender waiting in slices for a place goes on when the receiver takes a
// result or goes, not at the end of its slice: the slices here are a minute
// long, so an answer other than the event's would come a minute late and be
// Full.
TEST(JobSlot, ASliceOfWaitingEndsWhenAPlaceFreesOrTheReceiverGoes) {
  using namespace std::chrono_literals;
  for (const bool renew : {false, true}) {
    JobSlot<Result> slot;
    auto tx = open_job_channel(slot, 1);
    ASSERT_TRUE(tx.send({0, 1}));
    Result held{0, 2};
    EXPECT_EQ(SendState::Full, tx.try_send_for(held, 1ms)) << "full: the slice runs out";
    std::atomic<int> outcome{-1};
    auto t = spawn_named_thread("velocinta-test", [&] { outcome = static_cast<int>(tx.try_send_for(held, 60s)); });
    ASSERT_TRUE(t.ok());
    if (renew) {
      renew_job_slot(slot);
    } else {
      EXPECT_EQ(1u, drain_result_channel(slot, 1, bytes_of).size());
    }
    t.value().join();
    EXPECT_EQ(static_cast<int>(renew ? SendState::Disconnected : SendState::Sent), outcome.load()) << renew;
    if (!renew) {
      auto got = drain_result_channel(slot, 1, bytes_of);
      ASSERT_EQ(1u, got.size());
      EXPECT_EQ(2u, got[0].bytes);
    }
  }
}

TEST(JobSlot, DrainLimits) {
  const uint64_t MiB = 1024 * 1024;
  struct Case {
    const char* name;
    std::vector<uint64_t> sizes;
    size_t limit;
    size_t want_taken;
  } cases[] = {
      {"count limit", {1, 1, 1, 1}, 3, 3},
      {"stops once 32 MiB reached", {16 * MiB, 16 * MiB, 1}, 8, 2},
      {"just under 32 MiB takes one more", {16 * MiB, 16 * MiB - 1, 5, 7}, 8, 3},
      {"one huge result still taken", {64 * MiB, 1}, 8, 1},
      {"nothing waiting", {}, 8, 0},
  };
  for (const auto& c : cases) {
    JobSlot<Result> slot;
    auto tx = open_job_channel(slot, 16);
    for (uint64_t s : c.sizes) ASSERT_TRUE(tx.send({0, s}));
    auto got = drain_result_channel(slot, c.limit, bytes_of);
    EXPECT_EQ(c.want_taken, got.size()) << c.name;
    EXPECT_TRUE(slot.running()) << c.name << ": a sender is alive, the receiver stays";
  }
}

TEST(JobSlot, ReceiverDroppedOnlyOnceSendersGoneAndEmpty) {
  JobSlot<Result> slot;
  {
    auto tx = open_job_channel(slot, 4);
    ASSERT_TRUE(tx.send({0, 1}));
    ASSERT_TRUE(tx.send({0, 1}));
  }
  EXPECT_EQ(1u, drain_result_channel(slot, 1, bytes_of).size());
  EXPECT_TRUE(slot.running()) << "a result is still waiting";
  EXPECT_EQ(1u, drain_result_channel(slot, 8, bytes_of).size());
  EXPECT_FALSE(slot.running());
  EXPECT_TRUE(drain_result_channel(slot, 8, bytes_of).empty());
}

TEST(JobSlot, ResultsOfAnEarlierGenerationAreRecognisable) {
  // The job's threads stamp results with the generation they started at;
  // the main thread keeps only those of the current generation.
  JobSlot<Result> slot;
  auto gen = slot.generation;
  auto tx = open_job_channel(slot, 4);
  const uint64_t started = gen->load();
  std::thread worker([tx, gen, started]() mutable {
    for (int i = 0; i < 3; ++i) {
      if (gen->load() != started) return;
      if (!tx.send({started, 1})) return;
    }
  });
  worker.join();
  auto kept = drain_result_channel(slot, 8, bytes_of);
  ASSERT_EQ(3u, kept.size());
  for (const auto& r : kept) EXPECT_EQ(slot.generation->load(), r.generation);
}

}  // namespace
}  // namespace vel
