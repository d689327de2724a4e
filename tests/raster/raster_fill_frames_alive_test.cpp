// How many frames a fill keeps alive: each thread holds at most one finished
// result while the channel holds two, so an undrained fill draws n + 2 frames
// and stops, and a drained one never has more than 3 × n + 2 pixel buffers
// alive, the figure its thread count is budgeted on. Buffers are counted as
// the allocator sees them, so that a frame being drawn counts too.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

#include "raster/raster_fill.h"
#include "raster_test_support.h"

namespace {

// Allocations of exactly one frame's bytes. Every other size passes through.
struct FrameBufferCount {
  std::atomic<size_t> watched_bytes{0};
  std::atomic<int64_t> alive{0};
  std::atomic<int64_t> made{0};
  std::atomic<int64_t> peak{0};

  void start(size_t bytes) {
    alive = 0;
    made = 0;
    peak = 0;
    watched_bytes = bytes;
  }
  void stop() { watched_bytes = 0; }
  void allocated(size_t bytes) {
    if (bytes == 0 || bytes != watched_bytes.load(std::memory_order_relaxed)) return;
    made.fetch_add(1);
    const int64_t now = alive.fetch_add(1) + 1;
    int64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
  }
  void freed(size_t bytes) {
    if (bytes != 0 && bytes == watched_bytes.load(std::memory_order_relaxed)) alive.fetch_sub(1);
  }
};

FrameBufferCount& frame_buffers() {
  static FrameBufferCount count;
  return count;
}

// The size is kept in front of each block so that a delete without one can
// be counted; 16 bytes keep the default new alignment.
constexpr size_t kHeader = 16;

void* counted_new(size_t bytes) {
  void* block = std::malloc(bytes + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(block) = bytes;
  frame_buffers().allocated(bytes);
  return static_cast<char*>(block) + kHeader;
}

void counted_delete(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHeader;
  frame_buffers().freed(*static_cast<size_t*>(block));
  std::free(block);
}

}  // namespace

// Every unaligned form, so that no block is freed by a form that did not
// make it.
void* operator new(size_t bytes) { return counted_new(bytes); }
void* operator new[](size_t bytes) { return counted_new(bytes); }
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return counted_new(bytes);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
  try {
    return counted_new(bytes);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { counted_delete(p); }
void operator delete[](void* p) noexcept { counted_delete(p); }
void operator delete(void* p, size_t) noexcept { counted_delete(p); }
void operator delete[](void* p, size_t) noexcept { counted_delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_delete(p); }

namespace vel::testing {
namespace {

using namespace std::chrono_literals;

// 41 × 19: a frame size no other buffer of these tests has. The solid moves
// on every frame, so no frame reuses another's pixels.
constexpr uint32_t kW = 41, kH = 19;
constexpr size_t kFrameBytes = size_t{kW} * kH * 4;

std::shared_ptr<const CompModel> moving_comp() {
  LayerModel l = solid_layer(1, {0.2, 0.6, 1}, 9, 9);
  l.transform.position =
      AnimatedVec2::keyed({{0, {0, 5}, Interpolation::Linear}, {2, {40, 12}, Interpolation::Linear}});
  return std::make_shared<const CompModel>(comp_model(kW, kH, {l}));
}

std::vector<FrameKey> forty_frames() {
  std::vector<FrameKey> frames;
  for (int32_t i = 0; i < 40; ++i) frames.push_back({i, 24});
  return frames;
}

RasterFillEnv env_of(BackgroundWorkerRegistry& reg, uint32_t threads) {
  return RasterFillEnv{&reg, RasterMachine{10, 16ull << 30, 100}, threads};
}

// Waits for the count of frames drawn to reach `want`; false if it never
// does within a bound far above any run's.
bool wait_for_drawn(int64_t want) {
  for (int i = 0; i < 120000 && frame_buffers().made.load() < want; ++i) std::this_thread::sleep_for(1ms);
  return frame_buffers().made.load() >= want;
}

// A fill of the forty frames on `n` threads, its frame buffers counted.
struct CountedFill {
  explicit CountedFill(uint32_t n) : started(begin(n)) {}
  uint32_t begin(uint32_t n) {
    frame_buffers().start(kFrameBytes);
    return run_raster_fill(slot, moving_comp(), forty_frames(), 1, env_of(reg, n));
  }
  // Joins the threads: the counts are final afterwards.
  void end() {
    reg.drain();
    frame_buffers().stop();
  }
  BackgroundWorkerRegistry reg;
  RasterJobSlot slot;
  uint32_t started;
};

TEST(RasterFillFramesAlive, OneFrameDrawsOneBuffer) {
  frame_buffers().start(kFrameBytes);
  {
    auto drawn = render_raster_frame(*moving_comp(), 1, true, 0.5);
    ASSERT_TRUE(drawn.ok());
    EXPECT_EQ(drawn.value().pixels.size(), kFrameBytes);
  }
  frame_buffers().stop();
  EXPECT_EQ(frame_buffers().made.load(), 1) << "the counter sees exactly the frame's pixels";
  EXPECT_EQ(frame_buffers().alive.load(), 0);
}

TEST(RasterFillFramesAlive, UndrainedEachThreadHoldsOneResultWhileTwoWait) {
  for (const uint32_t n : {1u, 2u, 5u}) {
    CountedFill fill(n);
    ASSERT_EQ(fill.started, n);
    ASSERT_TRUE(wait_for_drawn(n + 2)) << n;
    // Nothing more can be drawn before a result leaves the channel: end the
    // threads and count what they drew.
    renew_job_slot(fill.slot);
    fill.end();
    EXPECT_EQ(frame_buffers().made.load(), int64_t{n} + 2) << n << " threads, channel of two";
    EXPECT_LE(frame_buffers().peak.load(), int64_t{3} * n + 2) << n;
    EXPECT_EQ(frame_buffers().alive.load(), 0) << "the renewal released every frame";
  }
}

TEST(RasterFillFramesAlive, DrainedOneAtATimeNeverMoreThanThreeNPlusTwo) {
  for (const uint32_t n : {1u, 3u, 6u}) {
    CountedFill fill(n);
    ASSERT_EQ(fill.started, n);
    size_t taken = 0;
    for (int spins = 0; fill.slot.running() && spins < 400000; ++spins) {
      // One result per call, dropped at once, as a slow idle hook would.
      const auto got =
          drain_result_channel(fill.slot, 1, [](const RasterFrameResult& r) { return uint64_t{r.pixels.size()}; });
      taken += got.size();
      if (got.empty()) std::this_thread::sleep_for(100us);
    }
    fill.end();
    EXPECT_EQ(taken, 40u) << n;
    // A result dropped before its thread lets go of it hands its buffer
    // back for a later frame, so the forty frames may need fewer.
    EXPECT_LE(frame_buffers().made.load(), 40) << "no frame drawn twice";
    EXPECT_LE(frame_buffers().peak.load(), int64_t{3} * n + 2) << n << " threads";
  }
}

}  // namespace
}  // namespace vel::testing
