// Who makes the frame under the playhead: the tick's queue of missing
// frames and the decision over its first entry, playing and paused, with a
// pool batch, the host's render manager and the disk store each holding
// frames the user may be looking at.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "preview/delivery.h"
#include "preview/delivery_queue.h"
#include "preview/preview_controller.h"
#include "preview/store_awaited.h"

namespace vel {
namespace {

FrameKey at24(int64_t frame) { return FrameKey{static_cast<int32_t>(frame), 24}; }

// 240 frames at 24 per second, the whole composition as work area, frames
// wanted 4 pixels wide; frames 0..22 cached, as after a short first play.
struct QueueWorld {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  PreviewTickInputs in;
  PoolView pool;
  DeliveryInputs base;

  QueueWorld() {
    ctl.timing = CompFrameTiming{1, 24, 240, 24};
    ctl.frame_count = 240;
    for (int64_t f = 0; f <= 22; ++f) cache_frame(f);
    base.has_comp = true;
    base.async_available = true;
  }
  void cache_frame(int64_t f) {
    std::vector<uint8_t> px(4 * 4 * 4, static_cast<uint8_t>(f));
    ASSERT_TRUE(cache_rendered_frame(cache, at24(f), RgbaFrame{PixelPayload::adopt(px), f / 24.0, 4, 4}));
  }
  // A batch holding `first`..`last`, the pool engaged for the rest.
  void batch(int64_t first, int64_t last) {
    in.pool_engaged = base.pool_engaged = true;
    in.pool_pending.emplace_back(first, last);
  }
  // Playing, the playback needing `f` next.
  void play_at(int64_t f) { ctl.playhead = Playhead{f, f - 1, true}; }
  void store_asked(int64_t first, int64_t last) {
    for (int64_t f = first; f <= last; ++f) ctl.store_pending.insert(at24(f));
  }
  void async_asked(int64_t f) {
    ctl.async_pending.emplace(static_cast<uint64_t>(f), at24(f));
    ctl.async_pending_keys.insert(at24(f));
    base.renders_in_flight = ctl.async_pending.size();
  }
};

TEST(DeliveryQueue, TheFrameUnderThePlayheadIsMadeAtOnceWhateverOthersHold) {
  struct Case {
    const char* name;
    std::function<void(QueueWorld&)> setup;
    std::optional<int64_t> first;  // the queue's first frame
    std::string_view reason;       // the decision over it
  } cases[] = {
      {"paused: the clicked frame a batch holds",
       [](QueueWorld& w) {
         w.ctl.playhead.frame = 200;
         w.batch(180, 239);
       },
       200, "current_frame"},
      {"playing into frames a silent batch holds, the host's time on a cached frame",
       [](QueueWorld& w) {
         w.play_at(23);
         w.batch(23, 57);
       },
       23, "current_frame"},
      {"playing into frames waiting for the pool's next batch",
       [](QueueWorld& w) {
         w.play_at(60);
         for (int64_t f = 23; f <= 59; ++f) w.cache_frame(f);
         w.batch(23, 57);
       },
       60, "current_frame"},
      {"playing: the next frame is ready, the rest waits for the batch",
       [](QueueWorld& w) {
         w.play_at(22);
         w.batch(23, 239);
       },
       std::nullopt, "all_cached"},
      {"playing: the render manager is making the next frame",
       [](QueueWorld& w) {
         w.play_at(23);
         w.async_asked(23);
       },
       24, "async_prefetch"},
      {"playing: a worker of the batch is about to hand the next frame over",
       [](QueueWorld& w) {
         w.play_at(23);
         w.batch(23, 239);
         w.in.pool_coming = {23};
       },
       std::nullopt, "all_cached"},
      {"playing: the worker delivering is behind the next frame",
       [](QueueWorld& w) {
         w.play_at(30);
         for (int64_t f = 23; f <= 29; ++f) w.cache_frame(f);
         w.batch(23, 57);
         w.in.pool_coming = {26};
       },
       30, "current_frame"},
      {"playing: the queue starts at the playback, not at the host's time",
       [](QueueWorld& w) {
         w.play_at(100);
         w.cache_frame(100);
       },
       101, "async_prefetch"},
      {"paused: requests in flight for other frames",
       [](QueueWorld& w) {
         w.ctl.playhead.frame = 120;
         w.async_asked(121);
         w.async_asked(122);
       },
       120, "current_frame"},
      {"far click: the store answers a whole work area asked before it",
       [](QueueWorld& w) {
         w.store_asked(23, 239);
         w.ctl.playhead.frame = 200;
         w.store_asked(200, 239);
       },
       200, "current_frame"},
      {"click: the store's next answer is the clicked frame",
       [](QueueWorld& w) {
         w.ctl.playhead.frame = 200;
         w.store_asked(200, 239);
         w.store_asked(23, 199);
       },
       std::nullopt, "all_cached"},
      {"far click on a frame the cache refused",
       [](QueueWorld& w) {
         w.ctl.playhead.frame = 200;
         w.ctl.unplaceable.insert(at24(200));
       },
       201, "async_prefetch"},
      {"what the batch gave up comes before what waits for the next one",
       [](QueueWorld& w) {
         w.ctl.playhead.frame = 10;
         w.batch(23, 57);
         w.in.pool_given_up.emplace_back(40, 57);
       },
       40, "async_prefetch"},
  };
  for (const Case& c : cases) {
    QueueWorld w;
    c.setup(w);
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, 4, w.in, w.pool);
    const std::optional<int64_t> first = q.empty() ? std::nullopt : std::optional(q[0].frame);
    EXPECT_EQ(c.first, first) << c.name;
    EXPECT_EQ(c.reason, decide_delivery(delivery_inputs_at(q, 0, w.base)).reason) << c.name;
  }
}

TEST(DeliveryQueue, HeldFramesAreLeftToTheBatchAndClaimsCountWhenAsked) {
  QueueWorld w;
  w.ctl.playhead.frame = 23;
  w.batch(23, 30);
  w.in.pool_pending.emplace_back(40, 45);
  w.pool.claims_asked = true;
  w.pool.claims = {{40, 45}};  // the render manager would beat the job on 23..30
  const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, 4, w.in, w.pool);
  ASSERT_GE(q.size(), 9u);
  EXPECT_EQ(23, q[0].frame);
  for (size_t i = 1; i < 8; ++i) {
    EXPECT_EQ(static_cast<int64_t>(23 + i), q[i].frame);
    EXPECT_TRUE(q[i].given_up);
  }
  EXPECT_EQ(31, q[8].frame) << "the released job first, then what waits for the next batch";
  for (const QueuedFrame& f : q.all()) EXPECT_FALSE(f.frame >= 40 && f.frame <= 45) << f.frame << " is claimed";
  EXPECT_TRUE(q.frames_unclaimed);
  const DeliveryInputs next = delivery_inputs_at(q, 1, w.base);
  EXPECT_FALSE(next.current_missing);
  EXPECT_TRUE(next.pool_gave_up);
  EXPECT_EQ(q.size() - 1, next.missing_frames);
  EXPECT_EQ(0u, delivery_inputs_at(q, q.size(), w.base).missing_frames);

  QueueWorld all_held;
  all_held.batch(23, 239);
  const DeliveryQueue none = build_delivery_queue(all_held.ctl, all_held.cache, 4, all_held.in, all_held.pool);
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(none.frames_unclaimed);
  EXPECT_FALSE(none.none_missing) << "the batch's frames are missing all the same";
}

TEST(StoreAwaited, AnswersComeInTheOrderAsked) {
  StoreAwaited s;
  const std::vector<FrameKey> old_area = {at24(5), at24(6), at24(7)};
  s.insert(old_area.begin(), old_area.end());
  s.insert(at24(100));
  s.insert(at24(6));  // asked again: keeps its place
  EXPECT_EQ(4u, s.size());
  EXPECT_TRUE(s.answered_next(at24(5)));
  EXPECT_FALSE(s.answered_next(at24(100)));
  EXPECT_EQ(1u, s.erase(at24(6)));  // answers may be taken out of order (a preloaded frame)
  EXPECT_EQ(0u, s.erase(at24(6)));
  EXPECT_EQ(1u, s.erase(at24(5)));
  EXPECT_FALSE(s.answered_next(at24(100)));
  s.erase(at24(7));
  EXPECT_TRUE(s.answered_next(at24(100)));
  EXPECT_FALSE(s.answered_next(at24(7))) << "no longer awaited";
  s.clear();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(0u, s.count(at24(100)));
}

}  // namespace
}  // namespace vel
