// The pack worker compresses in a buffer of the pixel buffer pool and gives
// it back, instead of allocating and freeing a compression buffer per frame
// in its own allocator arena (which kept tens of megabytes resident).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "cache/buffer_pool.h"
#include "cache/pack_worker.h"
#include "cache/unpack_frame.h"
#include "pack_test_support.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::gradient_frame;
using testing::LogCapture;
using testing::noise_frame;

// Takes every buffer out of the process-wide pool.
void empty_pool() {
  for (int i = 0; i < 8; ++i) {
    std::optional<ByteBuffer> b = take_pooled_buffer(1, std::numeric_limits<uint64_t>::max());
    if (b && b->capacity() == 1) return;  // a fresh one: nothing was pooled
  }
}

std::optional<PackResult> pack_through_worker(const RgbaFrame& f) {
  BackgroundWorkerRegistry reg;
  std::optional<PackLink> link = start_pack_worker(reg);
  if (!link) return std::nullopt;
  send_pack_job(*link, FrameKey{1, 25}, f);
  std::optional<PackResult> r;
  for (int i = 0; i < 5000 && !r; ++i) {
    r = receive_pack_result(*link);
    if (!r) std::this_thread::sleep_for(1ms);
  }
  link.reset();
  reg.drain();
  return r;
}

TEST(PackPool, TheWorkerCompressesInAPooledBufferAndGivesItBack) {
  const RgbaFrame f = gradient_frame(64, 64, 3);
  const size_t len = f.pixels.size();
  empty_pool();
  ByteBuffer pooled(len, 0xEE);
  const uint8_t* at = pooled.data();
  return_pooled_buffer(std::move(pooled));

  std::optional<PackResult> r = pack_through_worker(f);
  ASSERT_TRUE(r);
  ASSERT_FALSE(r->packed.empty());
  ASSERT_LT(r->packed.size(), len);
  EXPECT_EQ(r->packed.capacity(), r->packed.size()) << "accounted by capacity, so no slack";

  // The very buffer is back in the pool and holds the packed form it was
  // compressed in.
  std::optional<ByteBuffer> back = take_pooled_buffer(len, len);
  ASSERT_TRUE(back);
  EXPECT_EQ(at, back->data());
  EXPECT_EQ(0, std::memcmp(back->data(), r->packed.data(), r->packed.size()));

  std::optional<RgbaFrame> unpacked = unpack_packed_frame(f.width, f.height, r->packed, 0.0);
  ASSERT_TRUE(unpacked);
  EXPECT_EQ(0, std::memcmp(unpacked->pixels.data(), f.pixels.data(), len));
}

TEST(PackPool, AnEmptyPoolLendsAFreshBufferThatStaysPooled) {
  const RgbaFrame f = gradient_frame(32, 32, 1);
  const size_t len = f.pixels.size();
  empty_pool();
  std::optional<PackResult> r = pack_through_worker(f);
  ASSERT_TRUE(r && r->packed.size() > 4);
  // A buffer allocated now would be all zeros; the pooled one begins with
  // the packed form's length header.
  std::optional<ByteBuffer> scratch = take_pooled_buffer(len, pack_capacity(len));
  ASSERT_TRUE(scratch);
  EXPECT_EQ(0, std::memcmp(scratch->data(), r->packed.data(), 4));
}

// Raw buffers freed when packed frames replace them are given back to the
// system by the worker, once enough of them were let go.
TEST(PackPool, TheWorkerReturnsFreedFrameMemoryToTheSystem) {
  release_freed_frame_memory(1);  // whatever earlier work left counted
  ByteBuffer big;
  big.reserve(kFreedFrameBytesBeforeTrim + (64ull << 20));  // past any pool budget: freed at once
  return_pooled_buffer(std::move(big));
  ASSERT_GE(freed_frame_bytes(), kFreedFrameBytesBeforeTrim);
  const uint64_t trims = allocator_trims();

  ASSERT_TRUE(pack_through_worker(gradient_frame(16, 16, 1)));
  EXPECT_EQ(trims + 1, allocator_trims());
  EXPECT_LT(freed_frame_bytes(), kFreedFrameBytesBeforeTrim);

  // Below the threshold the next job leaves the count alone.
  const uint64_t left = freed_frame_bytes();
  ASSERT_TRUE(pack_through_worker(gradient_frame(16, 16, 2)));
  EXPECT_EQ(trims + 1, allocator_trims());
  EXPECT_GE(freed_frame_bytes(), left);
}

TEST(PackPool, FormsThatWouldNotBeShorterAreNotKept) {
  struct Case {
    const char* name;
    RgbaFrame frame;
    size_t scratch;
    bool some, shorter;
  };
  const RgbaFrame grad = gradient_frame(16, 16, 2);
  Case cases[] = {
      {"gradient", grad, grad.pixels.size(), true, true},
      {"noise", noise_frame(16, 16, 4), 16 * 16 * 4, true, false},
      {"one pixel", gradient_frame(1, 1, 0), 4, true, false},
      {"scratch too short", grad, grad.pixels.size() - 1, false, false},
  };
  for (Case& c : cases) {
    std::vector<uint8_t> scratch(c.scratch);
    std::optional<std::vector<uint8_t>> packed = pack_pixels_smaller(c.frame.pixels.bytes(), scratch);
    ASSERT_EQ(c.some, packed.has_value()) << c.name;
    if (!packed) continue;
    EXPECT_EQ(c.shorter, !packed->empty()) << c.name;
    if (packed->empty()) continue;
    EXPECT_LT(packed->size(), c.frame.pixels.size()) << c.name;
    std::optional<RgbaFrame> back = unpack_packed_frame(c.frame.width, c.frame.height, *packed, 0.0);
    ASSERT_TRUE(back) << c.name;
    EXPECT_EQ(0, std::memcmp(back->pixels.data(), c.frame.pixels.data(), c.frame.pixels.size())) << c.name;
  }
}

// A frame LZ4 cannot shrink stays raw, as it did when its longer packed
// form was refused at install, and is no allocation failure.
TEST(PackPool, AnIncompressibleFrameComesBackEmptyWithoutAnError) {
  LogCapture log;
  std::optional<PackResult> r = pack_through_worker(noise_frame(64, 64, 9));
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->packed.empty());
  EXPECT_FALSE(log.contains("compression allocation failed")) << log.text();
}

}  // namespace
}  // namespace vel
