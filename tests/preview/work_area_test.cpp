#include "preview/work_area.h"

#include <gtest/gtest.h>

namespace vel {
namespace {

const HostTime k24{1, 24};
const HostTime kNtsc{1001, 30000};

TEST(WorkAreaFrames, HostTimesToFrames) {
  struct Case {
    const char* name;
    HostTime start, dur, fd;
    int64_t frames;
    WorkAreaFrames want;
  } cases[] = {
      {"whole comp", {0, 1}, {10, 1}, k24, 240, {0, 239}},
      {"one second from 2 s", {48, 24}, {24, 24}, k24, 240, {48, 71}},
      {"other scale", {2, 1}, {1000, 1000}, k24, 240, {48, 71}},
      {"ntsc", {1001 * 30, 30000}, {1001 * 10, 30000}, kNtsc, 300, {30, 39}},
      {"past the end clamps", {9, 1}, {5, 1}, k24, 240, {216, 239}},
      {"zero scale", {0, 0}, {10, 1}, k24, 240, {-1, -1}},
      {"zero duration", {0, 1}, {0, 1}, k24, 240, {-1, -1}},
      {"bad frame duration", {0, 1}, {10, 1}, {0, 24}, 240, {-1, -1}},
      {"start and length near the 64-bit limit", {INT32_MAX, 1}, {INT32_MAX, 1}, {1, UINT32_MAX}, 240, {239, 239}},
      {"ends before the start clamps", {INT32_MIN, 1}, {INT32_MAX, 1}, {1, UINT32_MAX}, 240, {0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, work_area_from_host(c.start, c.dur, c.fd, c.frames)) << c.name;
  EXPECT_EQ(240, frame_count_of({10, 1}, k24).value());
  EXPECT_EQ(1, frame_count_of({1, 1000}, k24).value()) << "a sliver of a frame still holds one";
  EXPECT_FALSE(frame_count_of({-1, 1}, k24).has_value());
}

TEST(WorkAreaFrames, TimesToFrameIndexes) {
  struct Case {
    const char* name;
    HostTime t, fd;
    std::optional<int64_t> nearest, holding;
  } cases[] = {
      {"on a frame", {5, 24}, k24, 5, 5},
      {"just before a frame", {4999, 24000}, k24, 5, 4},
      {"half a frame rounds up", {11, 48}, k24, 6, 5},
      {"other scale", {1001 * 7 + 1, 30000}, kNtsc, 7, 7},
      {"before zero", {-1, 48}, k24, -1, -1},
      {"half before zero", {-3, 48}, k24, -2, -2},
      {"zero time scale", {5, 0}, k24, std::nullopt, std::nullopt},
      {"no frame duration", {5, 24}, {0, 24}, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.nearest, time_to_frame(c.t, c.fd)) << c.name;
    EXPECT_EQ(c.holding, frame_at_time(c.t, c.fd)) << c.name;
  }
}

TEST(WorkAreaFrames, RoundTripToHost) {
  auto host = work_area_to_host({48, 71}, k24);
  ASSERT_TRUE(host);
  EXPECT_EQ(48, host->first.value);
  EXPECT_EQ(24, host->second.value);
  EXPECT_EQ((WorkAreaFrames{48, 71}), work_area_from_host(host->first, host->second, k24, 240));
  EXPECT_FALSE(work_area_to_host({-1, 10}, k24));
  EXPECT_FALSE(work_area_to_host({0, 3'000'000'000}, {1, 1}));
}

TEST(WorkAreaFrames, Bounds) {
  struct Case {
    WorkAreaFrames in;
    int64_t frames;
    WorkAreaFrames want;
  } cases[] = {
      {{-1, -1}, 240, {0, 239}}, {{10, -1}, 240, {10, 239}}, {{10, 500}, 240, {10, 239}},
      {{300, 400}, 240, {239, 239}}, {{50, 10}, 240, {50, 50}}, {{0, 10}, 0, {0, -1}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, work_area_bounds(c.in, c.frames));
}

// A frame has a key while index × frame duration value fits 31 bits.
TEST(WorkAreaFrames, KeyedFrames) {
  struct Case {
    WorkAreaFrames bounds;
    int32_t frame_value;
    WorkAreaFrames want;
  } cases[] = {
      {{0, 239}, 1, {0, 239}},
      {{0, 42949672949}, 1, {0, 2147483647}},                    // 10 s at 1/4294967295 s
      {{3000000000, 42949672949}, 1, {3000000000, 2147483647}},  // none
      {{0, 3000000}, 1001, {0, 2145338}},
      {{0, 2}, INT32_MAX, {0, 1}},
      {{0, 10}, 0, {0, -1}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.want, keyed_frames(c.bounds, c.frame_value)) << c.bounds.last;
}

uint64_t pos_word(uint64_t seq, uint64_t thousandths) { return seq << 16 | thousandths; }

TEST(WorkAreaFrames, InOutRequests) {
  struct Case {
    const char* name;
    WorkAreaFrames current;
    WorkAreaSignals sig;
    int64_t playhead;
    std::optional<WorkAreaFrames> want;
  } cases[] = {
      {"nothing new", {10, 20}, {}, 5, std::nullopt},
      {"IN key at playhead", {10, 200}, {0, 0, 1, 0}, 50, WorkAreaFrames{50, 200}},
      {"OUT key at playhead", {10, 200}, {0, 0, 0, 1}, 50, WorkAreaFrames{10, 50}},
      {"IN past OUT sends OUT to the end", {10, 20}, {0, 0, 1, 0}, 100, WorkAreaFrames{100, 239}},
      {"OUT before IN sends IN to the start", {100, 200}, {0, 0, 0, 1}, 50, WorkAreaFrames{0, 50}},
      {"IN drag to half", {-1, -1}, {pos_word(1, 500), 0, 0, 0}, 0, WorkAreaFrames{120, 239}},
      {"OUT drag to the very end", {0, 100}, {0, pos_word(3, 1000), 0, 0}, 0, WorkAreaFrames{0, 239}},
      {"position word above 1000 clamps", {0, 100}, {0, pos_word(3, 4000), 0, 0}, 0, WorkAreaFrames{0, 239}},
      {"key at a playhead past the end", {0, 100}, {0, 0, 0, 2}, 999, WorkAreaFrames{0, 239}},
  };
  for (const auto& c : cases) {
    WorkAreaSnapshot snap;
    auto got = apply_work_area_requests(c.current, snap, c.sig, c.playhead, 240);
    EXPECT_EQ(c.want, got) << c.name;
    EXPECT_FALSE(apply_work_area_requests(got.value_or(c.current), snap, c.sig, c.playhead, 240))
        << c.name << ": a request is applied once";
  }
}

// Requests apply in the order they came, and one the snapshot already holds
// (the same word again, or an older one) applies no more.
TEST(WorkAreaFrames, RequestsApplyInTheirOrderAndOnce) {
  using P = WorkAreaPost;
  struct Case {
    const char* name;
    std::vector<WorkAreaRequest> requests;
    std::optional<WorkAreaFrames> want;
  } cases[] = {
      {"key then drag: the drag's OUT", {{P::OutKey, 1, 50}, {P::OutMove, pos_word(1, 500), 0}}, WorkAreaFrames{10, 120}},
      {"drag then key: the key's OUT", {{P::OutMove, pos_word(1, 500), 0}, {P::OutKey, 1, 50}}, WorkAreaFrames{10, 50}},
      {"two keys at two frames", {{P::InKey, 1, 30}, {P::InKey, 2, 40}}, WorkAreaFrames{40, 200}},
      {"a word seen again", {{P::InKey, 1, 30}, {P::InKey, 1, 40}}, WorkAreaFrames{30, 200}},
      {"words the snapshot holds", {{P::InKey, 0, 30}, {P::OutMove, pos_word(0, 500), 0}}, std::nullopt},
  };
  for (const auto& c : cases) {
    WorkAreaSnapshot snap;
    EXPECT_EQ(c.want, apply_work_area_requests({10, 200}, snap, c.requests, 240)) << c.name;
    EXPECT_FALSE(apply_work_area_requests(c.want.value_or(WorkAreaFrames{10, 200}), snap, c.requests, 240)) << c.name;
  }
}

TEST(WorkAreaFrames, SnapshotDiscardsOlderRequests) {
  WorkAreaSnapshot snap;
  const WorkAreaSignals before{pos_word(4, 100), pos_word(2, 900), 7, 3};
  snapshot_work_area_signals(snap, before);
  EXPECT_FALSE(apply_work_area_requests({0, 10}, snap, before, 5, 240));
  WorkAreaSignals after = before;
  after.mark_in_requests = 8;
  EXPECT_EQ((WorkAreaFrames{5, 10}), apply_work_area_requests({0, 10}, snap, after, 5, 240));
}

TEST(WorkAreaFrames, LogText) { EXPECT_EQ("workarea: IN 3 \xE2\x86\x92 OUT 9", work_area_log_text({3, 9})); }

}  // namespace
}  // namespace vel
