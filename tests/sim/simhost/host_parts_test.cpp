// The host's own machinery, apart from a plug-in: the suite ledger, the
// early-idle wake-up and the asynchronous render manager.
#include <chrono>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "project/project_json.h"
#include "render/async_renderer.h"
#include "scenario/idle_waker.h"
#include "suites/suite_registry.h"

namespace sim {
namespace {

TEST(SuiteRegistry, LedgerCountsAcquisitionsReleasesAndRefusals) {
  SuiteRegistry r;
  int table = 0;
  r.publish("S", 2, &table);
  r.publish("H", 1, &table);
  r.hide("H");
  const void* got = nullptr;
  EXPECT_EQ(r.acquire("S", 2, &got), 0);
  EXPECT_EQ(got, &table);
  EXPECT_NE(r.acquire("S", 3, &got), 0);  // no such version
  EXPECT_EQ(got, nullptr);
  EXPECT_NE(r.acquire("H", 1, &got), 0);  // hidden
  EXPECT_NE(r.release("S", 3), 0);        // nothing of that version held
  EXPECT_EQ(r.outstanding(), 1u);
  EXPECT_EQ(r.release("S", 2), 0);
  EXPECT_NE(r.release("S", 2), 0);  // released twice

  auto ledger = r.ledger();
  EXPECT_EQ(ledger["S"].acquired, 1u);
  EXPECT_EQ(ledger["S"].released, 1u);
  EXPECT_EQ(ledger["S"].refused, 1u);
  EXPECT_EQ(ledger["S"].bad_releases, 2u);
  EXPECT_EQ(ledger["H"].refused, 1u);
  EXPECT_EQ(r.outstanding(), 0u);
}

TEST(IdleWaker, ARequestCutsTheSleepShortEvenWhenMadeBefore) {
  IdleWaker w;
  auto far = IdleWaker::Clock::now() + std::chrono::seconds(30);
  w.request();
  EXPECT_TRUE(w.wait_until(far));  // returns at once: the request was pending
  EXPECT_FALSE(w.wait_until(IdleWaker::Clock::now() + std::chrono::milliseconds(5)));  // consumed
  EXPECT_EQ(w.requests(), 1u);
  EXPECT_EQ(w.early_wakeups(), 1u);
}

struct Completion {
  AEGP_AsyncRequestId id;
  bool cancelled;
  bool world;
};

struct Sink {
  std::mutex mu;
  std::vector<Completion> done;
  LentSet* worlds = nullptr;
  bool world_lent_during_callback = true;
};

A_Err record(void* refcon, AEGP_AsyncRequestId id, A_Boolean cancelled, A_Err, AEGP_WorldH world) {
  auto* sink = static_cast<Sink*>(refcon);
  std::lock_guard<std::mutex> lock(sink->mu);
  if (world && !sink->worlds->contains(world)) sink->world_lent_during_callback = false;
  sink->done.push_back({id, cancelled != 0, world != nullptr});
  return A_Err_NONE;
}

TEST(AsyncRenderer, EveryRequestCompletesOnceAndCancelledOnesAreFlagged) {
  Result<Project> p = parse_project_text(R"({"active_comp": "A", "compositions": [{
      "name": "A", "width": 8, "height": 8, "frame_duration": [1, 24], "duration": [24, 24],
      "render_cost_ms": 150, "layers": [{"name": "L", "solid": {"color": [1, 1, 1]}}]}]})");
  ASSERT_TRUE(p.ok()) << p.error();
  ProjectStore store;
  store.open(std::move(p).value(), "");
  LentSet worlds;
  Sink sink;
  sink.worlds = &worlds;
  RenderOptionsRec options;
  options.item_id = store.snapshot()->comps[0].id;

  AsyncCounts counts;
  {
    AsyncRenderer r(store, worlds);
    AEGP_AsyncRequestId a = r.submit(options, record, &sink);
    AEGP_AsyncRequestId b = r.submit(options, record, &sink);
    AEGP_AsyncRequestId c = r.submit(options, record, &sink);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, a);
    r.cancel(b);       // still queued behind a
    r.cancel(999999);  // unknown: ignored
    // Wait for a's completion (bounded), then shut down with c pending.
    for (int i = 0; i < 2000; ++i) {
      {
        std::lock_guard<std::mutex> lock(sink.mu);
        if (!sink.done.empty()) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    r.shutdown();
    EXPECT_EQ(r.submit(options, record, &sink), 0u);  // refused once shut down
    counts = r.counts();
    std::lock_guard<std::mutex> lock(sink.mu);
    ASSERT_EQ(sink.done.size(), 3u);
    EXPECT_EQ(sink.done[0].id, a);
    EXPECT_FALSE(sink.done[0].cancelled);
    EXPECT_TRUE(sink.done[0].world);
    EXPECT_EQ(sink.done[1].id, b);
    EXPECT_TRUE(sink.done[1].cancelled);
    EXPECT_FALSE(sink.done[1].world);
    EXPECT_EQ(sink.done[2].id, c);
    EXPECT_TRUE(sink.done[2].cancelled);
  }
  EXPECT_TRUE(sink.world_lent_during_callback);
  EXPECT_EQ(counts.completed, 1u);
  EXPECT_EQ(counts.cancelled, 2u);
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

TEST(ProjectStore, SelectingACompositionOrMovingItsPlayheadIsNotAChange) {
  Result<Project> p = parse_project_text(R"({"active_comp": "A", "compositions": [
      {"name": "A", "width": 8, "height": 8, "frame_duration": [1, 24], "duration": [24, 24], "layers": []},
      {"name": "B", "width": 8, "height": 8, "frame_duration": [1, 24], "duration": [24, 24], "layers": []}]})");
  ASSERT_TRUE(p.ok()) << p.error();
  ProjectStore store;
  store.open(std::move(p).value(), "");
  const uint64_t changes = store.change_count();
  ASSERT_TRUE(store.activate("B").ok());
  EXPECT_EQ(store.snapshot()->active_comp, std::optional<size_t>(1));
  EXPECT_EQ(store.change_count(), changes);
  EXPECT_FALSE(store.dirty());
  Status missing = store.activate("C");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("no composition named \"C\""), std::string::npos);
  EXPECT_EQ(store.snapshot()->active_comp, std::optional<size_t>(1));

  // Moving a playhead is not a change either.
  ASSERT_TRUE(store.move_playhead("A", HostTime{7, 24}).ok());
  EXPECT_EQ(store.snapshot()->comps[0].current_time.value, 7);
  EXPECT_EQ(store.change_count(), changes);
  EXPECT_FALSE(store.move_playhead("C", HostTime{1, 24}).ok());
}

}  // namespace
}  // namespace sim
