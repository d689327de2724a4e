// The delivery queue on a ten-hour composition: the playhead's window is
// gone through once, and again whole only when the work area, the frame
// limit or the wanted width changed or the playhead jumped; otherwise only
// the frames that came into the window and the keys the cache noted are
// looked at. What is pending elsewhere is weighed on every tick, so the
// queue is the one a plain pass over every frame of the window makes, down
// to the entries read after the tick changed what the queue was built from.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "cache/eviction.h"
#include "cache/frame_cache.h"
#include "cache/frame_cache_ops.h"
#include "preview/delivery_queue.h"
#include "preview/playhead.h"
#include "preview/preview_controller.h"
#include "preview/work_area.h"

namespace vel {
namespace {

constexpr int64_t kTenHours = 10 * 3600 * 30;
constexpr int64_t kPlayhead = 540000;

FrameKey at30(int64_t frame) { return FrameKey{static_cast<int32_t>(frame), 30}; }

// Paused half way, the cache full of the 4096 frames from the playhead on
// but ten of them, frames wanted 4 pixels wide.
struct TenHours {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  PreviewTickInputs in;
  PoolView pool;
  uint32_t want_width = 4;

  TenHours() {
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(kTenHours), 30};
    ctl.frame_count = kTenHours;
    ctl.current_frame = kPlayhead;
    ctl.playhead.frame = kPlayhead;
    cache.budget_bytes = uint64_t{1} << 30;
    for (int64_t f = kPlayhead; f < kPlayhead + 4096; ++f) {
      if (f < kPlayhead + 10 || f >= kPlayhead + 20) cache_frame(f, 4);
    }
  }
  void cache_frame(int64_t f, uint32_t side) {
    std::vector<uint8_t> px(size_t{side} * side * 4, static_cast<uint8_t>(f));
    ASSERT_TRUE(cache_rendered_frame(cache, at30(f), RgbaFrame{PixelPayload::adopt(px), f / 30.0, side, side}));
  }
};

// The queue as a plain pass gives it: every frame of the window weighed
// against every pending set, one after the other.
struct PlainQueue {
  std::vector<QueuedFrame> frames;
  bool frames_unclaimed = false;
  bool none_missing = true;
};
PlainQueue plain_queue(const PreviewController& ctl, const FrameCache& cache, uint32_t want_width,
                       const PreviewTickInputs& in, const PoolView& pool) {
  PlainQueue q;
  const WorkAreaFrames b = keyed_frames(work_area_bounds(ctl.work_area, ctl.frame_count), ctl.timing->frame_value);
  const bool batch = !in.pool_given_up.empty() || !in.pool_pending.empty();
  auto given_up = [&](int64_t f) {
    return batch && (frame_in_ranges(in.pool_given_up, f) || (pool.claims_asked && frame_in_ranges(in.pool_pending, f) &&
                                                              !frame_in_ranges(pool.claims, f)));
  };
  auto held = [&](int64_t f) { return batch && frame_in_ranges(in.pool_pending, f) && !given_up(f); };
  auto lacks = [&](FrameKey key) {
    const std::optional<uint32_t> width = cached_frame_width(cache, key);
    return !width || *width < want_width;
  };
  const int64_t playhead = ctl.playhead.frame;
  const FrameKey pk = *frame_key_of(ctl, playhead);
  if (!ctl.unplaceable.count(pk) && !ctl.room_refused.holds_back(cache, pk) && lacks(pk) &&
      !ctl.async_pending_keys.count(pk) && !ctl.store_pending.answered_next(pk)) {
    q.frames.push_back({playhead, pk, given_up(playhead)});
    q.frames_unclaimed = !held(playhead);
    q.none_missing = false;
  }
  const int64_t span = b.last - b.first + 1;
  const int64_t considered = std::min<int64_t>(span, static_cast<int64_t>(cache.frame_limit));
  const int64_t start = loop_entry(playhead, b);
  for (int64_t i = 0; i < considered; ++i) {
    const int64_t f = b.first + (start - b.first + i) % span;
    const FrameKey key = *frame_key_of(ctl, f);
    if (f == playhead || !lacks(key) || ctl.unplaceable.count(key) || ctl.room_refused.holds_back(cache, key) ||
        ctl.async_pending_keys.count(key) || ctl.store_pending.count(key)) {
      continue;
    }
    q.none_missing = false;
    if (held(f)) continue;
    q.frames_unclaimed = true;
    q.frames.push_back({f, key, given_up(f)});
  }
  if (in.pool_engaged && !q.frames.empty()) {
    const auto rest = q.frames.begin() + (q.frames.front().frame == playhead ? 1 : 0);
    std::stable_partition(rest, q.frames.end(), [](const QueuedFrame& f) { return f.given_up; });
  }
  return q;
}

// `q`'s front read first, as the render step reads it, then the rest.
void expect_same(const DeliveryQueue& q, const PlainQueue& plain) {
  ASSERT_EQ(q.size(), plain.frames.size());
  for (size_t i = 0; i < std::min<size_t>(q.size(), 3); ++i) EXPECT_EQ(q[i], plain.frames[i]);
  EXPECT_EQ(q.all(), plain.frames);
  EXPECT_EQ(q.frames_unclaimed, plain.frames_unclaimed);
  EXPECT_EQ(q.none_missing, plain.none_missing);
}

TEST(DeliveryWindow, ATickLooksAtWhatChangedOnlyAndQueuesWhatAFreshPassWould) {
  TenHours w;
  DeliveryWindowMemo memo;
  const DeliveryQueue first = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
  ASSERT_EQ(first.size(), 10u);
  EXPECT_EQ(first[0].frame, kPlayhead + 10);
  EXPECT_EQ(memo.passes, 1u);

  struct Step {
    const char* name;
    std::function<void(TenHours&)> change;
    bool pass;           // the whole window is gone through again
    uint64_t looked_at;  // else the frames looked at
  } steps[] = {
      {"nothing changed", [](TenHours&) {}, false, 0},
      {"the render manager asked for a lacking frame",
       [](TenHours& t) {
         t.ctl.async_pending.emplace(1, at30(kPlayhead + 11));
         t.ctl.async_pending_keys.insert(at30(kPlayhead + 11));
       },
       false, 0},
      {"the store asked for another", [](TenHours& t) { t.ctl.store_pending.insert(at30(kPlayhead + 12)); }, false,
       1},
      {"another refused", [](TenHours& t) { t.ctl.unplaceable.insert(at30(kPlayhead + 13)); }, false, 0},
      {"a batch holding the rest",
       [](TenHours& t) {
         t.in.pool_engaged = true;
         t.in.pool_pending.emplace_back(kPlayhead + 15, kPlayhead + 17);
       },
       false, 0},
      {"the answers came",
       [](TenHours& t) {
         t.ctl.async_pending.clear();
         t.ctl.async_pending_keys.clear();
         t.ctl.store_pending.erase(at30(kPlayhead + 12));
         t.ctl.unplaceable.clear();
         t.in.pool_pending.clear();
       },
       false, 1},
      {"a lacking frame cached", [](TenHours& t) { t.cache_frame(kPlayhead + 14, 4); }, false, 1},
      {"a frame of the window put out", [](TenHours& t) { evict_frame(t.cache, at30(kPlayhead + 30)); }, false, 1},
      {"a frame outside the window cached", [](TenHours& t) { t.cache_frame(3, 4); }, false, 0},
      {"the frame put out cached again, narrower than wanted later",
       [](TenHours& t) { t.cache_frame(kPlayhead + 30, 4); }, false, 1},
      {"playing from the next frame", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 1; }, false, 1},
      {"played on inside the window's cached part", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 2; },
       false, 1},
      {"a step back", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 1; }, false, 1},
      {"a jump far away", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 100000; }, true, 0},
      {"back again", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 2; }, true, 0},
      {"the work area moved", [](TenHours& t) { t.ctl.work_area = {kPlayhead + 5, kPlayhead + 100}; }, true, 0},
      {"played on round the work area's end", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 100; }, false, 0},
      {"played on past lacking frames, the whole loop in the window",
       [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 12; }, false, 0},
      {"a step back before them", [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 11; }, false, 0},
      {"wider frames wanted", [](TenHours& t) { t.want_width = 8; }, true, 0},
      {"a lower frame limit", [](TenHours& t) { t.cache.frame_limit = 50; }, true, 0},
      {"five frames back with the window shorter than the loop",
       [](TenHours& t) { t.ctl.playhead.frame = kPlayhead + 6; }, false, 5},
      {"the cache emptied", [](TenHours& t) { clear_frame_cache(t.cache); }, true, 0},
      {"nothing changed again", [](TenHours&) {}, false, 0},
  };
  for (Step& s : steps) {
    SCOPED_TRACE(s.name);
    s.change(w);
    const uint64_t passes = memo.passes;
    const uint64_t looked = memo.frames_looked_at;
    const PlainQueue plain = plain_queue(w.ctl, w.cache, w.want_width, w.in, w.pool);
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    const DeliveryQueue fresh = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool);
    expect_same(q, plain);
    expect_same(fresh, plain);
    EXPECT_EQ(memo.passes, passes + (s.pass ? 1 : 0));
    if (!s.pass) {
      EXPECT_EQ(memo.frames_looked_at, looked + s.looked_at);
    }
  }
}

// A fill half done, a batch running: whatever is pending elsewhere, the
// queue counts and orders its entries as the plain pass does, and the tick
// changing the cache and the pending sets while it reads them changes none.
TEST(DeliveryWindow, PendingSetsAndBatchesGiveThePlainPasssQueueReadAtAnyTime) {
  struct Case {
    const char* name;
    std::function<void(TenHours&)> pending;
  } cases[] = {
      {"nothing pending", [](TenHours&) {}},
      {"asked, refused, put out for room",
       [](TenHours& t) {
         t.ctl.async_pending_keys.insert(at30(kPlayhead + 4000));
         t.ctl.store_pending.insert(at30(kPlayhead + 4001));
         t.ctl.store_pending.insert(at30(kPlayhead + 4001 + kTenHours));  // no frame of the window
         t.ctl.unplaceable.insert(at30(kPlayhead + 4002));
         t.ctl.unplaceable.insert(at30(kPlayhead + 4003));
         t.ctl.room_refused.note(at30(kPlayhead + 4003), t.cache.focus);
         t.ctl.room_refused.note(at30(kPlayhead + 4004), t.cache.focus);
         t.ctl.room_refused.note(at30(kPlayhead + 15), FrameKey{1, 1});  // another focus, kept by the cache
       }},
      {"the playhead's frame lacking and asked of the store",
       [](TenHours& t) {
         evict_frame(t.cache, at30(kPlayhead));
         t.ctl.store_pending.insert(at30(kPlayhead + 4005));
         t.ctl.store_pending.insert(at30(kPlayhead));
       }},
      {"a batch holding ranges, one given up, the pool engaged",
       [](TenHours& t) {
         t.in.pool_engaged = true;
         t.in.pool_pending = {{kPlayhead + 12, kPlayhead + 17}, {kPlayhead + 4010, kPlayhead + 4020}};
         t.in.pool_given_up = {{kPlayhead + 4015, kPlayhead + 4030}};
         t.ctl.store_pending.insert(at30(kPlayhead + 4016));
       }},
      {"claims asked: the unclaimed pending frames given up",
       [](TenHours& t) {
         t.in.pool_engaged = true;
         t.in.pool_pending = {{kPlayhead, kPlayhead + 5000}};
         t.pool.claims_asked = true;
         t.pool.claims = {{kPlayhead + 14, kPlayhead + 16}, {kPlayhead + 4050, kPlayhead + 4090}};
       }},
      {"a batch holding every lacking frame",
       [](TenHours& t) { t.in.pool_pending = {{kPlayhead - 10, kPlayhead + 5000}}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TenHours w;
    // A tenth of the window lacking, scattered.
    for (int64_t f = kPlayhead + 3; f < kPlayhead + 4096; f += 10) evict_frame(w.cache, at30(f));
    c.pending(w);
    const PlainQueue plain = plain_queue(w.ctl, w.cache, w.want_width, w.in, w.pool);
    DeliveryWindowMemo memo;
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    // The tick goes on before the rest is read: the front made, the last
    // asked of the store and refused, a frame of the window put out.
    if (!q.empty()) {
      w.cache_frame(q[0].frame, 8);
      w.ctl.store_pending.insert(q[q.size() - 1].key);
      w.ctl.unplaceable.insert(q[q.size() - 1].key);
      w.ctl.async_pending_keys.insert(at30(kPlayhead + 3 + 20));
    }
    evict_frame(w.cache, at30(kPlayhead + 4095));
    expect_same(q, plain);
    EXPECT_LE(q.built(), q.size());
  }
}

// Filling from the disk store: the whole window asked of it at once, then
// answered a frame at a time. The keys still awaited, thousands of them,
// are weighed at no tick: each is looked at when it is asked for and when
// it is answered, and the queue is the plain pass's all along.
TEST(DeliveryWindow, ThousandsOfKeysAwaitedFromTheStoreCostATickNothingEach) {
  TenHours w;
  for (int64_t f = kPlayhead + 1; f < kPlayhead + 4096; ++f) evict_frame(w.cache, at30(f));
  DeliveryWindowMemo memo;
  (void)build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
  const uint64_t passes = memo.passes;
  for (int64_t f = kPlayhead + 100; f < kPlayhead + 4096; ++f) w.ctl.store_pending.insert(at30(f));
  {
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    expect_same(q, plain_queue(w.ctl, w.cache, w.want_width, w.in, w.pool));
    EXPECT_EQ(q.size(), 99u) << "the frames before the awaited ones";
    EXPECT_EQ(memo.passes, passes + 1) << "thousands asked at once: one pass costs less than following them";
  }
  const uint64_t looked = memo.frames_looked_at;
  const uint64_t weighed = memo.frames_weighed;
  for (int64_t f = kPlayhead + 100; f < kPlayhead + 150; ++f) {
    SCOPED_TRACE(f);
    w.ctl.store_pending.erase(at30(f));
    w.cache_frame(f, 4);
    // One the store lacked after all: the renderers take it at once.
    w.ctl.store_pending.erase(at30(f + 3000));
    const DeliveryQueue q = build_delivery_queue(w.ctl, w.cache, w.want_width, w.in, w.pool, memo);
    EXPECT_EQ(q[0].frame, kPlayhead + 1);
    expect_same(q, plain_queue(w.ctl, w.cache, w.want_width, w.in, w.pool));
  }
  EXPECT_EQ(memo.passes, passes + 1);
  EXPECT_EQ(memo.frames_looked_at - looked, 50u * 3u) << "each key answered, once";
  // The front read at each tick, and by expect_same the queue's every entry.
  EXPECT_LE(memo.frames_weighed - weighed, 50u * (1u + 3u + 99u + 50u));
}

}  // namespace
}  // namespace vel
