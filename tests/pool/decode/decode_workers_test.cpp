#include "pool/decode/decode_workers.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <mutex>

#include "support/scratch_dir.h"
#include "tga_writer.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

void write_frame(const fs::path& p, int width) {
  fs::create_directories(p.parent_path());
  sim::FrameImage image{width, 2, std::vector<uint8_t>(static_cast<size_t>(width) * 2 * 4, 200)};
  const std::vector<uint8_t> b = sim::encode_tga(image, {});
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A batch's decoders over a job folder whose deletion the test can wait for.
class DecodeBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    job_dir_ = dir_.path() / "job_1";
    fs::create_directories(job_dir_);
    auto [job_tx, job_rx] = make_bounded_channel<DecodeJob>(64);
    auto [frame_tx, frame_rx] = make_bounded_channel<PoolFrameDelivery>(capacity_);
    jobs_ = std::move(job_tx);
    frames_ = std::move(frame_rx);
    context_.frames = std::move(frame_tx);
    context_.batch_start = std::chrono::steady_clock::now();
    context_.job_dir = make_job_dir_guard(job_dir_, [this](const fs::path& p) {
      for (const auto& e : fs::recursive_directory_iterator(p)) files_left_ += e.is_regular_file() ? 1 : 0;
      delete_job_dir(p);
      released_.set_value();
    });
    context_.stop = stop_;
    context_.jobs = std::move(job_rx);
  }

  // Starts the decoders, then lets go of the test's own shares of the
  // context, so that only the threads hold the job folder.
  void start(size_t count) {
    ASSERT_EQ(start_decode_workers(count, context_), count);
    context_ = DecodeWorkerContext{};
  }
  void wait_released() { released_future_.wait(); }

  size_t capacity_ = 16;
  size_t files_left_ = 0;  // frame files still in the folder when it was let go
  ScratchDir dir_{"vel-decode"};
  fs::path job_dir_;
  ChannelSender<DecodeJob> jobs_;
  FrameReceiver frames_;
  DecodeWorkerContext context_;
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  std::promise<void> released_;
  std::shared_future<void> released_future_ = released_.get_future().share();
};

TEST_F(DecodeBatch, FilesGoInFramesComeOutAndTheFolderGoesWithTheLastDecoder) {
  const fs::path good = job_dir_ / "w3" / "f_00007.tga";
  const fs::path stray = job_dir_ / "loose" / "f_00008.tga";
  const fs::path broken = job_dir_ / "w3" / "f_00009.tga";
  write_frame(good, 6);
  write_frame(stray, 4);
  fs::create_directories(broken.parent_path());
  std::ofstream(broken) << "not a targa";
  start(2);
  ASSERT_EQ(jobs_.send({good, 7, 7 / 24.0, 2}), SendOutcome::Sent);
  ASSERT_EQ(jobs_.send({stray, 8, 8 / 24.0, 1}), SendOutcome::Sent);
  ASSERT_EQ(jobs_.send({broken, 9, 9 / 24.0, 1}), SendOutcome::Sent);
  std::map<int64_t, PoolFrameDelivery> got;
  for (int i = 0; i < 3; ++i) {
    std::optional<PoolFrameDelivery> d = frames_.recv();
    ASSERT_TRUE(d);
    got[d->frame] = std::move(*d);
  }
  const PoolFrameDelivery& seven = got.at(7);
  EXPECT_EQ(seven.worker, 3u);
  ASSERT_TRUE(seven.pixels);
  EXPECT_EQ(seven.pixels->width, 3u);
  EXPECT_EQ(seven.pixels->height, 1u);
  EXPECT_EQ(seven.pixels->time, 7 / 24.0);
  ASSERT_TRUE(seven.file);
  EXPECT_EQ(seven.file->outcome, FileDecodeOutcome::Decoded);
  EXPECT_EQ(seven.decode_ms, seven.file->read_ms + seven.file->decode_ms);
  EXPECT_GT(seven.file_bytes, 0u);
  EXPECT_GE(seven.handed_off_ms, 0.0);
  EXPECT_FALSE(seven.memory);
  EXPECT_FALSE(fs::exists(good)) << "a decoded file is deleted";

  EXPECT_FALSE(got.at(8).worker) << "a folder not named w<N>";
  const PoolFrameDelivery& nine = got.at(9);
  EXPECT_FALSE(nine.pixels);
  EXPECT_EQ(nine.file->outcome, FileDecodeOutcome::DecodeFailed);
  EXPECT_TRUE(fs::exists(broken)) << "an undecoded file stays for a later try";

  jobs_.reset();  // the queue closes: every idle decoder ends
  wait_released();
  EXPECT_EQ(files_left_, 1u) << "only the undecoded file";
  EXPECT_FALSE(fs::exists(job_dir_));
}

TEST_F(DecodeBatch, KeptFilesStayAfterDecoding) {
  context_.keep_frame_files = true;
  const fs::path file = job_dir_ / "w0" / "f_00001.tga";
  write_frame(file, 2);
  start(1);
  ASSERT_EQ(jobs_.send({file, 1, 0.0, 1}), SendOutcome::Sent);
  std::optional<PoolFrameDelivery> d = frames_.recv();
  ASSERT_TRUE(d && d->pixels);
  EXPECT_TRUE(fs::exists(file));
  jobs_.reset();
  wait_released();
}

TEST_F(DecodeBatch, StopDuringADecodeSendsNothingAndKeepsTheFile) {
  const fs::path file = job_dir_ / "w0" / "f_00001.tga";
  write_frame(file, 2);
  std::promise<void> inside;
  std::promise<void> go_on;
  std::shared_future<void> go_on_future = go_on.get_future().share();
  context_.ingest = [&inside, go_on_future](const DecodeJob& job) {
    inside.set_value();
    go_on_future.wait();
    return ingest_frame_file(job.path, job.time_s, job.decimation_factor, true);
  };
  context_.keep_frame_files = false;
  start(1);
  ASSERT_EQ(jobs_.send({file, 1, 0.0, 1}), SendOutcome::Sent);
  inside.get_future().wait();
  stop_->store(true);
  go_on.set_value();
  wait_released();  // the decoder ended on the stop flag, with the queue still open
  EXPECT_EQ(files_left_, 1u) << "the file stays";
  std::optional<PoolFrameDelivery> d;
  EXPECT_NE(frames_.try_recv(d), TryRecv::Value);
}

class DecodeBatchFullChannel : public DecodeBatch {
 protected:
  DecodeBatchFullChannel() { capacity_ = 1; }
};

TEST_F(DecodeBatchFullChannel, ADecoderBlockedOnAFullChannelEndsWhenTheBatchStops) {
  // Nobody drains the frame channel (its batch was dropped while the pool
  // kept the receiver): the stop flag alone must free the decoder.
  ASSERT_TRUE(context_.frames.try_send(PoolFrameDelivery{}));
  const fs::path file = job_dir_ / "w0" / "f_00001.tga";
  write_frame(file, 2);
  std::promise<void> decoded;
  context_.ingest = [&decoded](const DecodeJob& job) {
    DecodedOutput out = ingest_frame_file(job.path, job.time_s, job.decimation_factor, true);
    decoded.set_value();
    return out;
  };
  context_.keep_frame_files = true;
  start(1);
  ASSERT_EQ(jobs_.send({file, 1, 0.0, 1}), SendOutcome::Sent);
  decoded.get_future().wait();
  stop_->store(true);
  wait_released();
  EXPECT_FALSE(fs::exists(job_dir_));
}

TEST(BoundedChannel, ASendWaitingForRoomGivesUpWhenStopped) {
  auto [tx, rx] = make_bounded_channel<int>(1);
  ASSERT_TRUE(tx.try_send(1));
  EXPECT_FALSE(tx.try_send(2)) << "full";
  std::atomic<bool> stop{false};
  std::future<SendOutcome> blocked = std::async(std::launch::async, [&sender = tx, &stop] {
    return sender.send_unless_stopped(3, stop, std::chrono::milliseconds(5));
  });
  stop.store(true);
  EXPECT_EQ(blocked.get(), SendOutcome::Stopped);
  std::optional<int> v;
  EXPECT_EQ(rx.try_recv(v), TryRecv::Value);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(rx.try_recv(v), TryRecv::Empty);
  rx.reset();
  EXPECT_EQ(tx.send(4), SendOutcome::Disconnected) << "every receiver gone";
}

TEST(BoundedChannel, ReceiversEndOnceEverySenderIsGoneAndTheQueueIsEmpty) {
  auto [tx, rx] = make_bounded_channel<int>(4);
  ChannelReceiver<int> second = rx;
  ASSERT_EQ(tx.send(5), SendOutcome::Sent);
  tx.reset();
  EXPECT_EQ(second.recv(), 5);
  EXPECT_EQ(rx.recv(), std::nullopt);
  std::optional<int> v;
  EXPECT_EQ(second.try_recv(v), TryRecv::Disconnected);
}

TEST(DecoderThreadCount, FromThreadsAndTheMemoryBudget) {
  constexpr uint64_t GiB = 1ull << 30;
  struct Case {
    std::optional<uint64_t> ram;
    std::optional<uint32_t> threads;
    uint64_t pressure;
    std::optional<uint32_t> w, h;
    uint64_t d;
    uint64_t want;
  };
  for (const Case& c : std::vector<Case>{
           {16 * GiB, 4, 100, 1920, 1080, 1, 1},       // fewer than 5 threads
           {64 * GiB, 16, 100, 1920, 1080, 1, 3},      // 16 / 5
           {64 * GiB, 64, 100, 1920, 1080, 1, 8},      // capped at 8
           {64 * GiB, 64, 100, 1920, 1080, 4, 8},
           {1 * GiB, 64, 50, 1920, 1080, 1, 1},        // 32 MiB budget at 50 %: 2 frames
           {std::nullopt, 40, 100, std::nullopt, std::nullopt, 1, 1},  // 163 MiB / 32 MiB frames
           {16 * GiB, std::nullopt, 100, 1920, 1080, 1, 1},
       }) {
    EXPECT_EQ(decoder_thread_count(c.ram, c.threads, c.pressure, c.w, c.h, c.d), c.want)
        << c.threads.value_or(0) << " threads, " << c.pressure << " %";
  }
}

}  // namespace
}  // namespace vel
