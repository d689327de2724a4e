#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"

namespace vel {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST(PresentSlot, StartsEmptyAndOpensNumberedRequests) {
  PresentSlot slot;
  EXPECT_EQ(slot.read(), (PresentRequest{std::nullopt, 0, 0}));
  const PresentRequest a = slot.open(7, true, 1.5);
  const PresentRequest b = slot.open(7, true, 2.0);
  EXPECT_GT(a.seq, 0u);
  EXPECT_EQ(b.seq, a.seq + 1);
  EXPECT_EQ(slot.read(), b);

  struct Case {
    bool valid;
    double time;
    std::optional<double> kept;
  } cases[] = {{true, 0.25, 0.25}, {false, 0.25, std::nullopt}, {true, kNaN, std::nullopt}, {true, kInf, std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(slot.open(1, c.valid, c.time).time, c.kept) << c.time;
}

TEST(PresentSlot, RefreshKeepsSeqForTheSameItemOnly) {
  PresentSlot slot;
  EXPECT_FALSE(slot.refresh(3, true, 1.0)) << "the initial slot is never refreshed";
  const PresentRequest opened = slot.open(3, true, 1.0);
  auto same = slot.refresh(3, true, 4.0);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->seq, opened.seq);
  EXPECT_EQ(same->time, 4.0);
  EXPECT_FALSE(slot.refresh(4, true, 4.0));
  // The process form opens seq + 1 for another item.
  const PresentRequest p = begin_present_request(10, true, 0.0);
  EXPECT_EQ(refresh_present_request(10, true, 2.0).seq, p.seq);
  EXPECT_GT(refresh_present_request(11, true, 2.0).seq, p.seq);
}

TEST(PresentTracker, NewerRequestIsNeverReplacedByAnOlderOne) {
  PresentTracker tracker;
  const PresentRequest r5{1.0, 1, 5}, r7{1.0, 1, 7};
  tracker.note_presented(r7, 1.0);
  tracker.note_presented(r5, 1.0);
  EXPECT_TRUE(tracker.presented_for(r7));
  EXPECT_FALSE(tracker.presented_for(r5));
  EXPECT_EQ(tracker.present_count(), 1u);
  // Unopened requests and non-finite times count nothing.
  tracker.note_presented(PresentRequest{}, 1.0);
  tracker.note_presented(r7, kNaN);
  EXPECT_EQ(tracker.present_count(), 1u);
}

TEST(PresentTracker, AwaitedPresentationIsTakenOncePerMatch) {
  PresentTracker tracker;
  const PresentRequest r{std::nullopt, 2, 9};
  tracker.await(r, 1.0);
  EXPECT_FALSE(tracker.take_awaited(r, 1.0)) << "nothing presented yet";
  tracker.note_presented(r, 0.5);  // another frame
  EXPECT_FALSE(tracker.take_awaited(r, 1.0));
  tracker.note_presented(r, 1.0 + 5e-7);  // within a microsecond
  auto got = tracker.take_awaited(r, 1.0);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->present_no, 2u);
  EXPECT_FALSE(tracker.take_awaited(r, 1.0)) << "taken once";
  tracker.note_presented(r, 1.0);
  EXPECT_FALSE(tracker.take_awaited(r, 1.0)) << "not awaited any more";

  struct Case {
    const char* name;
    PresentRequest asked;
    double time;
  } misses[] = {{"other seq", {std::nullopt, 2, 10}, 1.0},
                {"other item", {std::nullopt, 3, 9}, 1.0},
                {"other time", r, 1.1},
                {"NaN", r, kNaN}};
  for (const Case& c : misses) {
    tracker.await(r, 1.0);
    tracker.note_presented(r, 1.0);
    EXPECT_FALSE(tracker.take_awaited(c.asked, c.time)) << c.name;
  }
  tracker.await(PresentRequest{}, 1.0);
  tracker.note_presented(r, 1.0);
  EXPECT_FALSE(tracker.take_awaited(r, 1.0)) << "awaiting seq 0 awaits nothing";
}

TEST(TelemetryRing, Keeps2048RecordsAndCountsDrops) {
  TelemetryRing ring;
  for (size_t i = 0; i <= kTelemetryCapacity; ++i) {
    PresentTelemetry r;
    r.frame_time = static_cast<double>(i);
    ring.push(r);
  }
  EXPECT_EQ(ring.drop_count(), 1u);
  auto drained = ring.drain();
  ASSERT_EQ(drained.size(), kTelemetryCapacity);
  EXPECT_EQ(drained.front().frame_time, 1.0) << "the oldest went";
  EXPECT_EQ(drained.back().frame_time, 2048.0);
  EXPECT_TRUE(ring.drain().empty());
  EXPECT_EQ(ring.drop_count(), 1u) << "draining resets nothing";
}

TEST(TelemetryRing, RecordsCarryTheFrameAndTheMatch) {
  TelemetryRing ring;
  PresentTracker tracker;
  RgbaFrame frame{PixelPayload::copy_of(std::vector<uint8_t>(16, 0)), 0.5, 2, 2};
  const PresentRequest r{0.5, 4, 3};
  struct Case {
    std::optional<double> target;
    std::optional<double> duration;
    uint8_t match;
    bool duration_kept;
  } cases[] = {{0.5, 1.0, 1, true},
               {0.5 + 2e-6, 0.0, 0, true},
               {std::nullopt, -1.0, 0, false},
               {kNaN, kInf, 0, false}};
  for (const Case& c : cases) {
    PresentEvent ev;
    ev.backend = "appkit";
    ev.request = r;
    ev.target_time = c.target;
    ev.duration_ms = c.duration;
    ev.shown_width = 100;
    record_present_event(frame, ev, ring, tracker);
    auto got = ring.drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].request_match, c.match);
    EXPECT_EQ(got[0].duration_ms.has_value(), c.duration_kept);
    EXPECT_EQ(got[0].shown_width, 2u) << "never wider than the frame";
    EXPECT_EQ(got[0].frame_identity, frame.pixels.identity());
  }
  EXPECT_EQ(tracker.present_count(), 4u) << "kind 2 events update the tracker";

  record_clock_event(PresentRequest{}, "cpu", 1.0, ring);
  record_clock_event(r, "cpu", kNaN, ring);
  EXPECT_TRUE(ring.drain().empty()) << "no clock event without a request or a time";
  record_clock_event(r, "cpu", 1.0, ring);
  auto clock = ring.drain();
  ASSERT_EQ(clock.size(), 1u);
  EXPECT_EQ(clock[0].kind, kEventClockMoved);
  EXPECT_EQ(clock[0].frame_identity, 0u);
  EXPECT_FALSE(clock[0].detail);
}

TEST(ViewFit, DecisionTable) {
  struct Case {
    uint32_t source, prepared, target;
    const char* reason;
    uint32_t presented;
    double lod;
  } cases[] = {{1920, 1920, 1998, "source-limited", 1920, 0.0},
               {3840, 960, 1000, "viewport-fit", 960, 2.0},
               {1000, 1000, 1000, "native-detail", 1000, 0.0},
               {0, 0, 0, "native-detail", 0, 0.0}};
  for (const Case& c : cases) {
    FitDetail d = view_fit_detail(c.source, c.prepared, c.target);
    EXPECT_STREQ(d.detail_reason, c.reason) << c.source;
    EXPECT_EQ(d.presented_width, c.presented);
    EXPECT_DOUBLE_EQ(d.lod, c.lod);
  }
}

}  // namespace
}  // namespace vel
