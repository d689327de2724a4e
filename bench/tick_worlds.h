// The worlds the idle tick's benchmarks time (bench_paused_tick,
// bench_frame_cost), kept apart so that a test checks each one is what its
// benchmark's name says (tests/plugin/tick_worlds_test.cpp): a paused world
// whose playhead's window is the cached part and where nothing changes, a
// playing world whose playhead steps on through a full cache, a filling
// world that caches one new frame a step, and a world filling from the disk
// store, which holds every frame: thousands of keys awaited from it, one
// answered a step.
//
// A composition of `frames` frames at 30 fps, frames of 16 × 9 pixels, each
// different from the last. The passes timed are the tick's passes over the
// frames: the disk store's loads, the delivery queue and the cache strip's
// columns.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cache/frame_cache_ops.h"
#include "cache/pack_idle.h"
#include "cache/pack_worker.h"
#include "cache/unpack_frame.h"
#include "cache/unpack_worker.h"
#include "cache/worker_registry.h"
#include "panel/cache_strip.h"
#include "plugin/store_feed.h"
#include "plugin/strip_columns.h"
#include "preview/delivery_queue.h"

namespace vel::bench {

inline constexpr uint32_t kStripWidth = 1920;  // a 960-point panel at 2×
inline constexpr uint32_t kFrameWidth = 16;
inline constexpr uint32_t kFrameHeight = 9;

inline FrameKey frame_key(int64_t f) { return FrameKey{static_cast<int32_t>(f), 30}; }

inline std::vector<uint8_t> frame_pixels(int64_t f) {
  std::vector<uint8_t> px(size_t{kFrameWidth} * kFrameHeight * 4, static_cast<uint8_t>(f));
  px[0] = static_cast<uint8_t>(f >> 8);
  px[1] = static_cast<uint8_t>(f >> 16);
  return px;
}

struct TickWorld {
  PreviewController ctl = make_preview_controller(1, 0);
  FrameCache cache;
  StoreFeed feed;
  StripColumnsMemo strip;
  PreviewTickInputs in;
  PoolView pool;

  explicit TickWorld(int64_t frames) {
    ctl.timing = CompFrameTiming{1, 30, static_cast<int32_t>(frames), 30};
    ctl.frame_count = frames;
    cache.budget_bytes = uint64_t{1} << 32;
    // A live store with nowhere to write: the loads are posted, never
    // answered. Its listing of the stream came, holding no frame unless a
    // world puts some on disk.
    feed.handle = spawn_store_worker(std::nullopt);
    feed.stream = StoreStreamIdentity{1, "Main", "/nonexistent/p.aep"};
    feed.listed = true;
  }
  TickWorld(const TickWorld&) = delete;
  TickWorld& operator=(const TickWorld&) = delete;

  void move_playhead(int64_t f) {
    ctl.playhead.frame = f;
    set_playhead_focus(cache, frame_key(f));
  }

  bool cache_frame(int64_t f) {
    return cache_rendered_frame(cache, frame_key(f),
                                RgbaFrame{PixelPayload::adopt(frame_pixels(f)), f / 30.0, kFrameWidth, kFrameHeight});
  }

  // One tick's passes over the frames; answers the delivery queue's length.
  // The render step reads at least the queue's front.
  size_t frame_passes() {
    request_store_loads(feed, ctl, cache);
    const DeliveryQueue q = build_delivery_queue(ctl, cache, kFrameWidth, in, pool, ctl.delivery_window);
    const size_t queued = q.empty() ? 0 : q.size() + static_cast<size_t>(q[0].frame < 0);
    const std::vector<uint8_t>& lit = cached_strip_columns(strip, ctl, cache, kStripWidth);
    return queued + (lit.empty() ? 1 : 0);
  }
};

// Paused half way through a composition of `seconds`, the cache holding the
// frames from the playhead on (at most its 4096), nothing changing between
// ticks.
struct PausedWorld : TickWorld {
  explicit PausedWorld(int64_t seconds) : TickWorld(seconds * 30) {
    const int64_t frames = ctl.frame_count;
    ctl.current_frame = frames / 2;
    move_playhead(frames / 2);
    for (int64_t i = 0; i < std::min<int64_t>(frames, kMaxFrameLimit); ++i) cache_frame((frames / 2 + i) % frames);
  }

  // The strip as the panel's refresh builds it, compared with the last one.
  bool strip_tick() {
    StripPicture pic;
    pic.width_px = kStripWidth;
    pic.height_px = 24;
    pic.frame_count = ctl.frame_count;
    pic.lit = cached_strip_columns(strip, ctl, cache, kStripWidth);
    pic.work_first = 0;
    pic.work_last = ctl.frame_count - 1;
    pic.shown_column = strip_shown_column(ctl.playhead.frame, ctl.frame_count, kStripWidth);
    if (pic == last) return false;
    last = std::move(pic);
    return true;
  }

  size_t queue_tick() {
    request_store_loads(feed, ctl, cache);
    return build_delivery_queue(ctl, cache, kFrameWidth, in, pool, ctl.delivery_window).size();
  }

  StripPicture last;
};

// Playing a composition of `frames` frames, all cached, as the tick sees it
// at each frame shown: the playhead steps on by one, the frame 8 ahead of it
// comes back from its packed form (an unpack finished, decoded here in
// place of the unpack worker), and the frame 9 behind it is packed.
struct PlayingWorld : TickWorld {
  static constexpr int64_t kRaw = 8;  // raw frames on each side of the playhead

  explicit PlayingWorld(int64_t frames) : TickWorld(frames) {
    cache.unpack_queue = std::make_shared<UnpackQueue>();
    move_playhead(0);
    for (int64_t f = 0; f < frames; ++f) {
      cache_frame(f);
      packed.push_back(pack_frame(frame_pixels(f)));
    }
    for (int64_t f = kRaw + 1; f < frames - kRaw; ++f) pack(f);
    frame_passes();
  }
  int64_t wrap(int64_t f) const { return ((f % ctl.frame_count) + ctl.frame_count) % ctl.frame_count; }

  void pack(int64_t f) {
    const auto it = cache.index.find(frame_key(f));
    if (it == cache.index.end() || !it->second.is_raw()) return;
    install_pack_result(cache, PackResult{frame_key(f), it->second.raw()->pixels, packed[static_cast<size_t>(f)]}, 0);
  }

  // What the unpack worker would do, done here.
  void unpack(int64_t f) {
    if (request_frame_unpack(cache, frame_key(f), 100, BackgroundWorkerRegistry::process(), false) != 0) return;
    UnpackQueue& q = *cache.unpack_queue;
    bool waiting = false;
    {
      std::lock_guard<std::mutex> lock(q.mutex);
      for (const UnpackSlot& s : q.slots) waiting = waiting || s.state == UnpackSlotState::Waiting;
    }
    if (!waiting) return;
    std::optional<UnpackWork> work = wait_for_unpack_work(q);
    if (!work) return;
    finish_unpack_work(*cache.unpack_queue, work->sequence,
                       unpack_packed_frame(work->width, work->height, work->packed.bytes(), work->time));
    drain_unpack_results(cache);
  }

  // One frame shown; answers the delivery queue's length.
  size_t step() {
    const int64_t f = wrap(ctl.playhead.frame + 1);
    move_playhead(f);
    unpack(wrap(f + kRaw));
    pack(wrap(f - kRaw - 1));
    return frame_passes();
  }

  std::vector<std::vector<uint8_t>> packed;  // each frame's packed form, made once
};

// Filling a composition of `frames` frames from the playhead at 0, one new
// frame a step, as producers hand them over, the disk store having none of
// them (nothing is asked of it); once the work area is cached the cache is
// emptied and the fill starts again.
struct FillingWorld : TickWorld {
  explicit FillingWorld(int64_t frames) : TickWorld(frames) {
    move_playhead(0);
    frame_passes();
  }

  // One frame cached; answers the delivery queue's length.
  size_t step() {
    if (next == ctl.frame_count) {
      clear_frame_cache(cache);
      next = 0;
    }
    cache_frame(next++);
    return frame_passes();
  }

  int64_t next = 0;
};

// The same fill from the disk store, which holds every frame of the
// composition: the window's frames (at most the cache's 4096) are asked for
// at once and awaited, and the store answers one a step, in order, its
// frame cached. Once the work area is cached the cache is emptied and the
// frames are asked for again.
struct StoreFillingWorld : TickWorld {
  explicit StoreFillingWorld(int64_t frames) : TickWorld(frames) {
    for (int64_t f = 0; f < frames; ++f) feed.on_disk.insert(frame_key(f));
    move_playhead(0);
    frame_passes();
  }

  // The store's next answer taken into the cache; answers the delivery
  // queue's length.
  size_t step() {
    if (next == ctl.frame_count) {
      clear_frame_cache(cache);
      ctl.store_pending.clear();
      feed.loads_basis.reset();
      next = 0;
    }
    ctl.store_pending.erase(frame_key(next));
    cache_frame(next++);
    return frame_passes();
  }

  int64_t next = 0;
};

}  // namespace vel::bench
