// Producer and consumer in two processes, as in a real batch: the child finds
// the segment through the manifest alone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "memout/output_consumer.h"
#include "memout/output_writer.h"
#include "memout_test_support.h"

namespace vel {
namespace {

using namespace std::chrono_literals;
using testing::ForkedChild;

constexpr uint32_t kW = 67;  // not a multiple of 8: exercises the scalar tail
constexpr uint32_t kH = 33;
constexpr uint64_t kPad = 20;

OutputRequest frame_request(int64_t start, int64_t end) {
  OutputRequest r;
  r.range_start = start;
  r.range_end = end;
  r.step = 2;
  r.key_scale = 48;
  r.width = kW;
  r.height = kH;
  return r;
}

// The child: attach, write every frame of the range, mark finished. Exit
// codes tell the parent what went wrong.
int produce_all(const std::string& output_path, int64_t start, int64_t end) {
  auto writer = read_output_manifest(output_path);
  if (!writer) return 10;
  for (int64_t f = start; f <= end; ++f) {
    const auto img = testing::make_argb(kW, kH, kPad, static_cast<uint32_t>(f));
    const ArgbFrame src{img.bytes.data(), img.bytes.size(), img.row_bytes, kW, kH};
    if (!write_frame_to_slot(*writer, f, src, true)) return 11;
  }
  mark_output_finished(*writer);
  return 0;
}

TEST(TwoProcessTest, ForkedProducerDeliversEveryPixel) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string output = dir.file("output.vnm");
  auto made = create_memory_output(output, frame_request(-3, 8));
  ASSERT_TRUE(made) << made.error().message;
  MemoryOutputConsumer consumer = std::move(*made);
  const std::string name = consumer.mapping_name();

  ForkedChild child([&] { return produce_all(output, -3, 8); });
  ASSERT_TRUE(child.started());

  std::vector<uint8_t> pixels;
  int64_t next = -3;
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (output_completion(consumer) == OutputCompletion::Running) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "producer stalled";
    auto got = receive_output_frame(consumer, pixels);
    ASSERT_TRUE(got) << got.error().message;
    if (!got->has_value()) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    const DeliveredFrame& f = **got;
    ASSERT_EQ(f.frame, next);
    EXPECT_EQ(f.time_value, next * 2);
    EXPECT_EQ(f.time_scale, 48u);
    const auto img = testing::make_argb(kW, kH, kPad, static_cast<uint32_t>(next));
    ASSERT_EQ(pixels, testing::expected_rgba(img, true)) << "frame " << next;
    ++next;
  }
  EXPECT_EQ(output_completion(consumer), OutputCompletion::Complete);
  EXPECT_EQ(next, 9);
  EXPECT_EQ(child.exit_code(), 0);
  EXPECT_FALSE(testing::shm_exists(name));
  { MemoryOutputConsumer dropped = std::move(consumer); }
  EXPECT_FALSE(testing::shm_exists(name));
}

// The producer dies holding the slot: the consumer sees nothing ready and no
// completion, never a half-written frame; closing and dropping still work
// and leave no name behind.
TEST(TwoProcessTest, ProducerKilledMidCopy) {
  testing::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string output = dir.file("output.vnm");
  auto made = create_memory_output(output, frame_request(0, 4));
  ASSERT_TRUE(made) << made.error().message;
  MemoryOutputConsumer consumer = std::move(*made);
  const std::string name = consumer.mapping_name();

  ForkedChild child([&] {
    auto writer = read_output_manifest(output);
    if (!writer) return 10;
    const HeaderView h = writer->segment.header();
    uint32_t free_slot = kSlotFree;
    if (!h.slot_state().compare_exchange_strong(free_slot, kSlotWriting)) return 11;
    std::memset(h.payload(), 0x5A, writer->contract.capacity / 2);
    for (;;) pause();  // killed here, mid-copy
  });
  ASSERT_TRUE(child.started());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (testing::header_word(consumer.segment(), HeaderWord::SlotState) != kSlotWriting) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "child never took the slot";
    ASSERT_FALSE(child.wait(0ms).has_value()) << "child ended early";
    std::this_thread::sleep_for(1ms);
  }
  child.kill_and_reap();

  std::vector<uint8_t> pixels;
  auto got = receive_output_frame(consumer, pixels);
  ASSERT_TRUE(got);
  EXPECT_FALSE(got->has_value());
  EXPECT_EQ(output_completion(consumer), OutputCompletion::Running);
  close_memory_output(consumer);
  auto after = receive_output_frame(consumer, pixels);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().message, "consumer closed");
  { MemoryOutputConsumer dropped = std::move(consumer); }
  EXPECT_FALSE(testing::shm_exists(name));
}

}  // namespace
}  // namespace vel
