#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "cache/buffer_pool.h"
#include "byte_sizes.h"

namespace vel {
namespace {

constexpr uint64_t kBig = 1'000'000;  // pool budget in these tests
constexpr uint64_t kAny = UINT64_MAX;

// A buffer of capacity `cap` and length `len`, every byte `fill`.
ByteBuffer buffer(size_t cap, size_t len, uint8_t fill) {
  ByteBuffer b;
  b.reserve(cap);
  b.assign(len, fill);
  return b;
}

void fill(PixelBufferPool& p, std::vector<ByteBuffer> buffers) {
  for (ByteBuffer& b : buffers) p.give_back(std::move(b), kBig);
}

TEST(BufferPoolTest, Budget) {
  struct Case {
    std::optional<uint64_t> physical;
    uint64_t pressure, want;
  } cases[] = {
      {std::nullopt, 100, 32 * kMiB}, {1 * kGiB, 100, 8 * kMiB}, {4 * kGiB, 100, 16 * kMiB},
      {16 * kGiB, 100, 64 * kMiB},    {16 * kGiB, 50, 32 * kMiB}, {256 * kGiB, 75, 48 * kMiB},
      {4 * kGiB + 100, 75, 12 * kMiB},  // base not a multiple of 100: no precision lost
  };
  for (const Case& c : cases) EXPECT_EQ(pool_budget_bytes(c.physical, c.pressure), c.want);
}

TEST(BufferPoolTest, BestFitTakesSmallestAcceptableCapacity) {
  struct Case {
    const char* name;
    std::vector<size_t> caps;
    uint64_t len, max_cap;
    uint64_t want_cap;                  // capacity of the buffer answered
    std::vector<uint64_t> want_left;    // pool after the take
  } cases[] = {
      {"smallest that fits", {100, 50, 80}, 60, kAny, 80, {100, 50}},
      {"max capacity rules out the large one", {100, 70}, 60, 90, 70, {100}},
      {"last moves into the taken place", {80, 100, 90, 120}, 85, kAny, 90, {80, 100, 120}},
      {"none fits: fresh, pool untouched", {50, 200}, 60, 150, 60, {50, 200}},
  };
  for (const Case& c : cases) {
    std::vector<ByteBuffer> bs;
    for (size_t cap : c.caps) bs.push_back(buffer(cap, cap, 1));
    PixelBufferPool pool;
    fill(pool, std::move(bs));
    std::optional<ByteBuffer> got = pool.take(c.len, c.max_cap, kBig);
    ASSERT_TRUE(got) << c.name;
    EXPECT_EQ(got->size(), c.len) << c.name;
    EXPECT_EQ(got->capacity(), c.want_cap) << c.name;
    EXPECT_EQ(pool.capacities(), c.want_left) << c.name;
  }
}

TEST(BufferPoolTest, EqualCapacitiesFrontWinsAndLastTakesItsPlace) {
  PixelBufferPool pool;
  fill(pool, [] {
    std::vector<ByteBuffer> v;
    v.push_back(buffer(100, 100, 'a'));
    v.push_back(buffer(100, 100, 'b'));
    v.push_back(buffer(70, 70, 'c'));
    return v;
  }());
  std::optional<ByteBuffer> got = pool.take(90, kAny, kBig);
  ASSERT_TRUE(got);
  EXPECT_EQ((*got)[0], 'a');
  EXPECT_EQ(pool.capacities(), (std::vector<uint64_t>{70, 100}));
}

TEST(BufferPoolTest, ContentsBelowPreviousLengthKeptTailZeroed) {
  PixelBufferPool pool;
  fill(pool, [] {
    std::vector<ByteBuffer> v;
    v.push_back(buffer(100, 10, 7));
    return v;
  }());
  std::optional<ByteBuffer> got = pool.take(40, kAny, kBig);
  ASSERT_TRUE(got);
  for (size_t i = 0; i < 40; ++i) EXPECT_EQ((*got)[i], i < 10 ? 7 : 0) << i;
  pool.give_back(std::move(*got), kBig);
  got = pool.take(5, kAny, kBig);  // a longer previous length is cut
  EXPECT_EQ(got->size(), 5u);
  EXPECT_EQ((*got)[4], 7);

  std::optional<ByteBuffer> fresh = pool.take(64, 64, kBig);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(fresh->capacity(), 64u);
  for (uint8_t b : *fresh) EXPECT_EQ(b, 0);
}

// A producer that asked for a zeroed buffer must never see another frame's
// pixels, whichever pooled buffer it is handed and however long it is.
TEST(BufferPoolTest, ZeroedTakeNeverShowsEarlierContents) {
  struct Case {
    const char* name;
    size_t cap, len;  // the dirty buffer given back
    uint64_t take_len;
    bool reused;  // the dirty buffer is the one answered
  } cases[] = {
      {"same length", 100, 100, 100, true},
      {"shorter than before", 100, 100, 40, true},
      {"longer than before, within capacity", 100, 30, 90, true},
      {"larger than any pooled: fresh", 50, 50, 80, false},
  };
  for (const Case& c : cases) {
    PixelBufferPool pool;
    pool.give_back(buffer(c.cap, c.len, 0xAB), kBig);
    std::optional<ByteBuffer> got = pool.take_zeroed(c.take_len, kAny, kBig);
    ASSERT_TRUE(got) << c.name;
    EXPECT_EQ(got->size(), c.take_len) << c.name;
    EXPECT_EQ(got->capacity() == c.cap, c.reused) << c.name;
    EXPECT_EQ(std::count(got->begin(), got->end(), 0), static_cast<std::ptrdiff_t>(c.take_len)) << c.name;
    EXPECT_EQ(pool.capacities().empty(), c.reused) << c.name;
  }
}

TEST(BufferPoolTest, ProcessPoolZeroedTakeAfterDirtyReturn) {
  constexpr size_t kLen = 4093;
  // Other tests leave buffers in the process pool; a full pool would free
  // the one returned here instead of keeping it.
  for (int i = 0; i < 8 && trim_pixel_buffer_pool() > 0; ++i) (void)take_pooled_buffer(1, kAny);
  ASSERT_EQ(0u, trim_pixel_buffer_pool());
  return_pooled_buffer(buffer(kLen + 7, kLen + 7, 0xCD));
  std::optional<ByteBuffer> got = take_zeroed_pooled_buffer(kLen, kLen + 7);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->capacity(), kLen + 7) << "the dirty buffer was reused";
  EXPECT_EQ(std::count(got->begin(), got->end(), 0), static_cast<std::ptrdiff_t>(kLen));
  EXPECT_TRUE(take_zeroed_pooled_buffer(0, 0).has_value());
}

TEST(BufferPoolTest, ZeroLengthLeavesPoolAlone) {
  PixelBufferPool pool;
  fill(pool, [] {
    std::vector<ByteBuffer> v;
    v.push_back(buffer(100, 100, 1));
    return v;
  }());
  std::optional<ByteBuffer> got = pool.take(0, kAny, /*budget=*/0);  // a trim would empty the pool
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  EXPECT_EQ(pool.pooled_bytes(), 100u);
  EXPECT_TRUE(take_pooled_buffer(0, 0).has_value());
}

TEST(BufferPoolTest, ReturnKeepsCountAndBudget) {
  struct Case {
    const char* name;
    std::vector<size_t> pooled;  // given back first, with budget 1000
    size_t returned;
    uint64_t budget;
    std::vector<uint64_t> want;
  } cases[] = {
      {"fifth buffer is freed though it fits", {10, 10, 10, 10}, 10, 1000, {10, 10, 10, 10}},
      {"larger than the budget is freed", {100}, 1001, 1000, {100}},
      {"equal to the budget empties the pool", {100, 200}, 1000, 1000, {1000}},
      {"newer returns push out from the back", {300, 400, 200}, 350, 1000, {300, 350}},
      {"capacity 0 is freed", {100}, 0, 1000, {100}},
      {"trim first under a lower budget", {300, 400, 200}, 100, 500, {300, 100}},
  };
  for (const Case& c : cases) {
    PixelBufferPool pool;
    for (size_t cap : c.pooled) pool.give_back(buffer(cap, cap, 1), 1000);
    pool.give_back(buffer(c.returned, c.returned, 2), c.budget);
    EXPECT_EQ(pool.capacities(), c.want) << c.name;
    uint64_t sum = 0;
    for (uint64_t cap : c.want) sum += cap;
    EXPECT_EQ(pool.pooled_bytes(), sum) << c.name;
    uint64_t given = c.returned;
    for (size_t cap : c.pooled) given += cap;
    EXPECT_EQ(pool.freed_bytes(), given - sum) << c.name << ": every buffer let go is counted as freed";
  }
}

// What the pool frees is counted until taken, so that the allocator's pages
// are given back once enough frames were let go, not on every one.
TEST(BufferPoolTest, FreedBytesAreTakenOnlyFromTheThreshold) {
  PixelBufferPool pool;
  for (size_t cap : {100, 200, 300, 400, 500}) pool.give_back(buffer(cap, cap, 1), 1000);
  EXPECT_EQ(pool.freed_bytes(), 500u);  // the fifth buffer
  EXPECT_EQ(pool.take_freed_bytes_from(501), 0u);
  EXPECT_EQ(pool.freed_bytes(), 500u);
  EXPECT_EQ(pool.trim(250), 100u);  // 400, 300 and 200 go, from the back until within budget
  EXPECT_EQ(pool.take_freed_bytes_from(501), 500u + 900u);
  EXPECT_EQ(pool.freed_bytes(), 0u);
  EXPECT_EQ(pool.take_freed_bytes_from(0), 0u) << "nothing freed, nothing to take";
}

TEST(BufferPoolTest, ConcurrentTakesAndReturnsStayWithinLimits) {
  PixelBufferPool pool;
  constexpr uint64_t kBudget = 4096;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const uint64_t len = 64 + static_cast<uint64_t>((i * 7 + t * 13) % 900);
        std::optional<ByteBuffer> b = pool.take(len, 2 * len, kBudget);
        ASSERT_TRUE(b);
        ASSERT_EQ(b->size(), len);
        (*b)[len - 1] = static_cast<uint8_t>(t);
        pool.give_back(std::move(*b), kBudget);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_LE(pool.pooled_bytes(), kBudget);
  EXPECT_LE(pool.capacities().size(), kPoolMaxBuffers);
}

}  // namespace
}  // namespace vel
