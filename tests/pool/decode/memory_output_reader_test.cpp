#include "pool/decode/memory_output_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "memout/memout_test_support.h"
#include "cache/buffer_pool.h"
#include "core/log.h"
#include "memout/output_writer.h"
#include "pool/decode/rgba_decimation.h"
#include "pool/process/worker_launch.h"

namespace vel {
namespace {

using testing::ArgbImage;
using testing::make_argb;

ArgbFrame frame_of(const ArgbImage& img) {
  return ArgbFrame{img.bytes.data(), img.bytes.size(), img.row_bytes, img.width, img.height};
}

// One memory output with both ends in this process, the reader on its own
// thread and the pool's frame channel drained by the test.
class MemoryReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(open_log_file_at(dir_.file("velocinta.log"), LogRole::Host));
    ASSERT_TRUE(take_memory_output_token());
  }
  void TearDown() override {
    stop_->store(true);
    if (reader_.joinable()) reader_.join();
    writer_.reset();
    if (producer_fd_ >= 0) close(producer_fd_);
    close_log_file();
    release_memory_output_token();
  }

  void open(uint32_t w, uint32_t h, int64_t start, int64_t end, size_t channel = 64, bool null_mode = false) {
    OutputRequest req;
    req.range_start = start;
    req.range_end = end;
    req.step = 1001;
    req.key_scale = 30000;
    req.width = w;
    req.height = h;
    req.null_mode = null_mode;
    auto made = create_memory_output(output_path(), req);
    ASSERT_TRUE(made) << made.error().message;
    mapping_ = made->mapping_name();
    header_base_ = made->segment().base();
    producer_fd_ = shm_open(mapping_.c_str(), O_RDWR, 0);  // before the producer removes the name
    auto writer = read_output_manifest(output_path());
    ASSERT_TRUE(writer) << writer.error().message;
    writer_.emplace(std::move(*writer));
    auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(channel);
    rx_ = std::move(rx);
    context_.emplace(std::move(tx), std::move(*made), std::chrono::steady_clock::now(),
                     make_job_dir_guard(dir_.path() / "job", [](const std::filesystem::path&) {}), stop_, complete_,
                     abandon_, factor_, exited_, 3);
  }
  void run() {
    reader_ = std::thread([ctx = std::move(*context_)]() mutable { memory_output_worker_loop(std::move(ctx)); });
    context_.reset();
  }
  void publish(int64_t frame, const ArgbImage& img) {
    auto wrote = write_frame_to_slot(*writer_, frame, frame_of(img), true);
    ASSERT_TRUE(wrote) << wrote.error().message;
  }
  PoolFrameDelivery next() {
    std::optional<PoolFrameDelivery> d = rx_.recv();
    EXPECT_TRUE(d.has_value());
    return d ? std::move(*d) : PoolFrameDelivery{};
  }
  void join() { reader_.join(); }
  // Whatever way the reader ended: nothing of the output is left.
  void expect_released() {
    EXPECT_TRUE(exited_->load());
    EXPECT_FALSE(testing::shm_exists(mapping_));
    EXPECT_FALSE(std::filesystem::exists(output_path() + ".vnx-manifest.json"));
    EXPECT_FALSE(memory_output_token_held());
  }
  std::string log() const { return testing::read_text(dir_.file("velocinta.log")); }
  std::string output_path() const { return dir_.file("output.vnm"); }

  testing::ScratchDir dir_;
  std::string mapping_;
  uint8_t* header_base_ = nullptr;
  int producer_fd_ = -1;  // the segment as the producer holds it, to cut it with
  std::optional<MemoryOutputWriter> writer_;
  std::optional<MemoryReaderContext> context_;
  FrameReceiver rx_;
  std::thread reader_;
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> complete_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> abandon_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> exited_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<uint64_t>> factor_ = std::make_shared<std::atomic<uint64_t>>(1);
};

TEST_F(MemoryReaderTest, EveryFrameArrivesOnceThenTheOutputCompletes) {
  open(8, 4, 10, 13);
  run();
  for (int64_t f = 10; f <= 13; ++f) {
    const ArgbImage img = make_argb(8, 4, 12, static_cast<uint32_t>(f));
    publish(f, img);
    if (f == 13) mark_output_finished(*writer_);  // the last frame may still sit in the slot
    PoolFrameDelivery d = next();
    EXPECT_EQ(d.frame, f);
    EXPECT_EQ(d.worker, 3u);
    ASSERT_TRUE(d.pixels && d.memory);
    EXPECT_FALSE(d.file);
    EXPECT_EQ(d.memory->payload_bytes, 8u * 4 * 4);
    EXPECT_DOUBLE_EQ(d.pixels->time, f * 1001.0 / 30000.0);
    const std::vector<uint8_t> want = testing::expected_rgba(img, true);
    ASSERT_EQ(d.pixels->pixels.size(), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), d.pixels->pixels.data()));
  }
  join();
  EXPECT_TRUE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, ReductionDeliversAnExactBufferOfTheReducedSize) {
  struct Case {
    uint64_t factor;
    uint32_t w, h, dw, dh;
  };
  for (const Case c : {Case{4, 10, 6, 2, 1}, Case{16, 10, 6, 1, 1}, Case{2, 9, 5, 4, 2}}) {
    SCOPED_TRACE(c.factor);
    const ArgbImage img = make_argb(c.w, c.h, 0, 7);
    const std::vector<uint8_t> full = testing::expected_rgba(img, false);
    const auto size = reduced_rgba_size(c.w, c.h, full.size(), c.factor);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, c.dw);
    EXPECT_EQ(size->height, c.dh);
    std::vector<uint8_t> out(size->bytes);
    ASSERT_TRUE(reduce_rgba(full, c.w, c.h, c.factor, *size, out));
    for (uint32_t r = 0; r < c.dh; ++r)
      for (uint32_t col = 0; col < c.dw; ++col)
        EXPECT_EQ(0, std::memcmp(&out[(r * c.dw + col) * 4], &full[(r * c.factor * c.w + col * c.factor) * 4], 4));
  }
  EXPECT_FALSE(reduced_rgba_size(10, 6, 10 * 6 * 4 - 1, 2));
  EXPECT_FALSE(reduced_rgba_size(0, 6, 0, 2));
  EXPECT_FALSE(reduced_rgba_size(10, 6, 240, 0));

  factor_->store(4);
  open(10, 6, 0, 1);
  run();
  for (int64_t f = 0; f <= 1; ++f) {
    const ArgbImage img = make_argb(10, 6, 4, static_cast<uint32_t>(f));
    publish(f, img);
    PoolFrameDelivery d = next();
    ASSERT_TRUE(d.pixels);
    EXPECT_EQ(d.pixels->width, 2u);
    EXPECT_EQ(d.pixels->height, 1u);
    EXPECT_EQ(d.pixels->pixels.size(), 8u);
    EXPECT_EQ(d.pixels->pixels.capacity(), 8u);
    EXPECT_EQ(d.memory->payload_bytes, 240u);
    const std::vector<uint8_t> want = testing::expected_rgba(img, true);
    EXPECT_EQ(0, std::memcmp(d.pixels->pixels.data(), &want[0], 4));
    EXPECT_EQ(0, std::memcmp(d.pixels->pixels.data() + 4, &want[16], 4));
  }
  mark_output_finished(*writer_);
  join();
  EXPECT_TRUE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, NullOutputFramesCarryNoPixels) {
  open(8, 4, 0, 1, 64, true);
  run();
  const ArgbImage img = make_argb(8, 4, 0, 1);
  for (int64_t f = 0; f <= 1; ++f) {
    publish(f, img);
    PoolFrameDelivery d = next();
    EXPECT_TRUE(d.null_output);
    EXPECT_FALSE(d.pixels);
    EXPECT_EQ(d.memory->payload_bytes, 0u);
  }
  mark_output_finished(*writer_);
  join();
  EXPECT_TRUE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, FinishedShortIsIncompleteAndEnds) {
  open(8, 4, 0, 2);
  run();
  publish(0, make_argb(8, 4, 0, 1));
  next();
  mark_output_finished(*writer_);
  join();
  EXPECT_FALSE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, AFullChannelHoldsTheFrameUntilThereIsRoom) {
  open(8, 4, 0, 2, 1);
  run();
  publish(0, make_argb(8, 4, 0, 0));
  publish(1, make_argb(8, 4, 0, 1));  // the reader holds frame 0's successor, waiting for room
  publish(2, make_argb(8, 4, 0, 2));
  mark_output_finished(*writer_);
  for (int64_t f = 0; f <= 2; ++f) EXPECT_EQ(next().frame, f);
  join();
  EXPECT_TRUE(complete_->load());
  expect_released();
}

// The producer cuts its file while the reader holds a frame it took whole:
// the frame goes on, then the reader asks whether the output is over, and
// finds it cut instead of faulting. In a child: a fault would kill it.
TEST_F(MemoryReaderTest, AFileCutWhileTheReaderHandsAFrameOnEndsItWithoutAFault) {
  testing::ForkedChild child([&] {
    open(8, 4, 0, 3, 1);  // room for one frame in the channel
    if (!context_ || producer_fd_ < 0) return 10;
    run();
    publish(0, make_argb(8, 4, 0, 0));  // taken and sent: the channel is full
    publish(1, make_argb(8, 4, 0, 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (HeaderView(header_base_).slot_state().load() != kSlotFree) {
      if (std::chrono::steady_clock::now() > deadline) return 11;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Frame 1 is the reader's now, waiting for room.
    if (ftruncate(producer_fd_, 0) != 0) return 12;
    if (next().frame != 0 || next().frame != 1) return 13;
    join();
    if (log().find("ERROR: pool: memory worker 3 rejected output: shared-memory mapping is too short") ==
        std::string::npos) {
      return 14;
    }
    return complete_->load() || !exited_->load() || testing::shm_exists(mapping_) ? 15 : 0;
  });
  ASSERT_TRUE(child.started());
  const auto status = child.wait(std::chrono::seconds(20));
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFEXITED(*status)) << "the host died of signal " << WTERMSIG(*status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// The producer cuts one byte off its file and grows it back, again and
// again, with no frame in the slot: the reader meets the cut at its take's
// look, or between that look and its question whether the output is over.
// Either way it refuses the output and says why, as it does any refusal,
// and the output is closed and released.
TEST_F(MemoryReaderTest, AFileCutWhileTheSlotIsEmptyIsRefusedWithItsReason) {
  open(8, 4, 0, 3);
  ASSERT_GE(producer_fd_, 0);
  const off_t whole = static_cast<off_t>(kSegmentHeaderBytes + 8 * 4 * 4);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> cuts{0};
  std::thread cutter([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done.load() && std::chrono::steady_clock::now() < deadline) {
      if (ftruncate(producer_fd_, whole - 1) != 0 || ftruncate(producer_fd_, whole) != 0) break;
      cuts.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (!done.load()) stop_->store(true);  // never met: the checks below fail, the test ends
  });
  run();
  join();
  done.store(true);
  cutter.join();
  EXPECT_GT(cuts.load(), 0u);
  EXPECT_NE(log().find("ERROR: pool: memory worker 3 rejected output: shared-memory mapping is too short"),
            std::string::npos)
      << log();
  EXPECT_FALSE(complete_->load());
  expect_released();
  auto again = write_frame_to_slot(*writer_, 0, frame_of(make_argb(8, 4, 0, 0)), true);
  EXPECT_FALSE(again) << "the output was left open";
}

TEST_F(MemoryReaderTest, AbandonEndsAtTheNextEmptyPollEvenWithTheSlotStuckWriting) {
  open(8, 4, 0, 9);
  run();
  publish(0, make_argb(8, 4, 0, 0));
  EXPECT_EQ(next().frame, 0);
  // A producer that died inside its copy leaves the slot at "writing".
  HeaderView(header_base_).slot_state().store(kSlotWriting);
  abandon_->store(true);
  join();
  EXPECT_FALSE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, ARefusedFrameIsLoggedAndClosesTheOutput) {
  open(8, 4, 0, 3);
  run();
  publish(1, make_argb(8, 4, 0, 1));
  next();
  publish(1, make_argb(8, 4, 0, 1));  // the same frame twice
  join();
  EXPECT_NE(log().find("ERROR: pool: memory worker 3 rejected output: "), std::string::npos) << log();
  EXPECT_FALSE(complete_->load());
  expect_released();
  auto again = write_frame_to_slot(*writer_, 2, frame_of(make_argb(8, 4, 0, 2)), true);
  EXPECT_FALSE(again);
}

TEST_F(MemoryReaderTest, ADisconnectedChannelEndsTheReader) {
  open(8, 4, 0, 3);
  rx_.reset();
  run();
  publish(0, make_argb(8, 4, 0, 0));
  join();
  EXPECT_FALSE(complete_->load());
  expect_released();
}

TEST_F(MemoryReaderTest, StopEndsAReaderWaitingForFrames) {
  open(8, 4, 0, 3);
  run();
  stop_->store(true);
  join();
  expect_released();
}

TEST_F(MemoryReaderTest, AContextDroppedUnrunReleasesTheOutputAndSetsExited) {
  open(8, 4, 0, 3);
  context_.reset();
  expect_released();
  EXPECT_FALSE(complete_->load());
}

TEST_F(MemoryReaderTest, AFullRegistryDropsTheContextAndReleasesTheOutput) {
  open(8, 4, 0, 3);
  BackgroundWorkerRegistry registry(0);
  EXPECT_FALSE(start_memory_output_reader(std::move(*context_), registry));
  context_.reset();
  expect_released();
}

TEST_F(MemoryReaderTest, TheRegistryRunsAndStopsTheReader) {
  open(8, 4, 0, 3);
  BackgroundWorkerRegistry registry;
  ASSERT_TRUE(start_memory_output_reader(std::move(*context_), registry));
  context_.reset();
  EXPECT_EQ(registry.live_count(), 1u);
  registry.drain();
  EXPECT_EQ(registry.live_count(), 0u);
  expect_released();
}

// The worker's lease hands its output to the reader: the reader's end
// releases the token once, and the lease's end must not release it again
// from under the next memory worker that took it meanwhile.
TEST_F(MemoryReaderTest, TheLeaseHandsItsTokenToTheReaderWhichReleasesItOnce) {
  OutputRequest req;
  req.range_end = 3;
  req.step = 1001;
  req.key_scale = 30000;
  req.width = 8;
  req.height = 4;
  auto made = create_memory_output(output_path(), req);
  ASSERT_TRUE(made) << made.error().message;
  std::optional<MemoryOutputLease> lease;
  lease.emplace(std::move(*made));
  auto [tx, rx] = make_bounded_channel<PoolFrameDelivery>(4);
  std::optional<MemoryReaderContext> reader;
  reader.emplace(std::move(tx), lease->hand_over(), std::chrono::steady_clock::now(),
                 make_job_dir_guard(dir_.path() / "job", [](const std::filesystem::path&) {}), stop_, complete_,
                 abandon_, factor_, exited_, 3);
  reader.reset();  // the reader ends: the token is free
  ASSERT_TRUE(take_memory_output_token()) << "the next memory worker takes it";
  lease.reset();
  EXPECT_FALSE(take_memory_output_token()) << "the lease's end left the next worker's token alone";
}

TEST(MemoryOutputToken, OneHolderAtATime) {
  ASSERT_TRUE(take_memory_output_token());
  EXPECT_FALSE(take_memory_output_token());
  release_memory_output_token();
  EXPECT_TRUE(take_memory_output_token());
  release_memory_output_token();
}

}  // namespace
}  // namespace vel
