// A frame file that gives no frame is read once while it stands as it
// stood: its frame's later tries look at its status only, and count all the
// same, so that the frame is given up in its time. Any change of it (its
// bytes rewritten, another file put in its place, its length) gets it read
// again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "pool/batch/delivery_ledger.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/frame_file_handoff.h"
#include "pool/decode/frame_ingest.h"
#include "pool/decode/process_reads.h"
#include "support/scratch_dir.h"
#include "tga_writer.h"
#include "pool/decode/file_bytes.h"

namespace vel {
namespace {

using testing::write_file;
namespace fs = std::filesystem;
using testing::bytes_read_by_process;
using testing::ScratchDir;

constexpr FrameDimensions kAsked{64, 36};
// Garbage that passes for no frame, as large as a frame file of the batch
// may be, so that each read of it shows.
constexpr size_t kBadBytes = 1 << 20;

std::vector<uint8_t> bad_bytes(uint8_t fill) { return std::vector<uint8_t>(kBadBytes, fill); }

std::vector<uint8_t> good_frame() {
  return sim::encode_tga(sim::FrameImage{64, 36, std::vector<uint8_t>(64 * 36 * 4, 90)}, {});
}

// Through the batch's own steps: the hand-over of the frame's file to a
// decoder thread, the decoder, and the booking of what came back.
class UnchangedFrameFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    job_dir_ = dir_.path() / "job_1";
    fs::create_directories(job_dir_ / "w0");
    auto [job_tx, job_rx] = make_bounded_channel<DecodeJob>(4);
    auto [frame_tx, frame_rx] = make_bounded_channel<PoolFrameDelivery>(4);
    jobs_ = std::move(job_tx);
    frames_ = std::move(frame_rx);
    DecodeWorkerContext context;
    context.frames = std::move(frame_tx);
    context.batch_start = std::chrono::steady_clock::now();
    context.job_dir = make_job_dir_guard(job_dir_, [this](const fs::path&) { released_.set_value(); });
    context.stop = std::make_shared<std::atomic<bool>>(false);
    context.jobs = std::move(job_rx);
    context.keep_frame_files = true;
    ASSERT_EQ(start_decode_workers(1, context), 1u);
  }
  void TearDown() override {
    jobs_.reset();
    released_.get_future().wait();
  }

  // One try of frame 5 at `now`: what the decoder made of it, or nothing
  // when the frame's file was not handed over.
  std::optional<FileDecodeOutcome> try_frame(uint64_t now) {
    std::deque<DiscoveredFile> pending{DiscoveredFile{file(), 5, false, 0.0, 0, nullptr, "f_00005.tga"}};
    DiscoveryTimes times;
    const size_t sent = hand_frame_files(
        pending, ledger_, BatchTimeBase{1, 24}, 1, [](std::optional<uint64_t>, int64_t) { return true; },
        [this](DecodeJob job) { return jobs_.try_send(std::move(job)); }, times, kAsked, now);
    if (sent == 0) return std::nullopt;
    std::optional<PoolFrameDelivery> got = frames_.recv();
    if (!got || !got->file) return std::nullopt;
    const FileDecodeOutcome outcome = got->file->outcome;
    (void)book_delivery(ledger_, *got, BatchTimeBase{1, 24}, false, DeliveringJob{}, now);
    return outcome;
  }
  fs::path file() const { return job_dir_ / "w0" / "f_00005.tga"; }

  ScratchDir dir_{"vel-unchanged"};
  fs::path job_dir_;
  ChannelSender<DecodeJob> jobs_;
  FrameReceiver frames_;
  DeliveryLedger ledger_;
  std::promise<void> released_;
};

TEST_F(UnchangedFrameFile, ReadOnceAcrossEveryTryAndGivenUpInItsTime) {
  write_file(file(), bad_bytes(0x5A));
  const uint64_t read_before = bytes_read_by_process();
  std::vector<FileDecodeOutcome> outcomes;
  uint64_t now = 1'000'000'000;
  while (std::optional<FileDecodeOutcome> outcome = try_frame(now)) {
    outcomes.push_back(*outcome);
    now += kFrameRetrySpacingNs;
    if (outcomes.size() > 2 * kFrameReadTries) break;
  }
  const uint64_t read = bytes_read_by_process() - read_before;
  ASSERT_EQ(outcomes.size(), kFrameReadTries) << "tried until given up, no more";
  EXPECT_EQ(outcomes.front(), FileDecodeOutcome::DecodeFailed);
  for (size_t i = 1; i < outcomes.size(); ++i)
    EXPECT_EQ(outcomes[i], FileDecodeOutcome::Unchanged) << "try " << i + 1;
  EXPECT_GE(read, kBadBytes);
  EXPECT_LT(read, 2 * kBadBytes) << "the file was read " << read / kBadBytes << " times";
  EXPECT_EQ(ledger_.tries.tries_of(5), kFrameReadTries);
  EXPECT_TRUE(ledger_.tries.any_given_up());
}

TEST_F(UnchangedFrameFile, AFileChangedAfterItsFailureIsReadAgainAndCanStillGiveTheFrame) {
  write_file(file(), bad_bytes(0x5A));
  uint64_t now = 1'000'000'000;
  ASSERT_EQ(try_frame(now), FileDecodeOutcome::DecodeFailed);
  now += kFrameRetrySpacingNs;
  ASSERT_EQ(try_frame(now), FileDecodeOutcome::Unchanged);
  now += kFrameRetrySpacingNs;
  write_file(file(), good_frame());  // its worker writes it again, whole this time
  std::optional<FileDecodeOutcome> outcome;
  for (int i = 0; i < 5 && outcome != FileDecodeOutcome::Decoded; ++i, now += kFrameRetrySpacingNs)
    outcome = try_frame(now);
  EXPECT_EQ(outcome, FileDecodeOutcome::Decoded);
  EXPECT_EQ(ledger_.tries.tries_of(5), 0u) << "delivered";
}

// At the ingest itself: named as the file that gave nothing, it is looked at
// and not read while it stands so; each kind of change gets it read.
TEST(UnchangedFrameFileIngest, EachChangeGetsTheFileReadAgain) {
  ScratchDir dir{"vel-unchanged"};
  ASSERT_TRUE(dir.ok());
  const fs::path file = dir.path() / "f_00007.tga";
  struct Case {
    const char* what;
    void (*change)(const fs::path&);
    bool read;
  } cases[] = {
      {"left alone", [](const fs::path&) {}, false},
      {"the same bytes written again", [](const fs::path& p) { write_file(p, bad_bytes(0x5A)); }, true},
      {"other bytes of the same length", [](const fs::path& p) { write_file(p, bad_bytes(0x33)); }, true},
      {"another file renamed over it",
       [](const fs::path& p) {
         write_file(p.string() + ".new", bad_bytes(0x5A));
         fs::rename(p.string() + ".new", p);
       },
       true},
      {"a byte added", [](const fs::path& p) { std::ofstream(p, std::ios::binary | std::ios::app) << 'x'; }, true},
      {"its times set back as they were",
       [](const fs::path& p) {
         struct stat st {};
         ::stat(p.c_str(), &st);
         write_file(p, bad_bytes(0x44));
         const timespec times[2] = {st.st_atim, st.st_mtim};
         ::utimensat(AT_FDCWD, p.c_str(), times, 0);
       },
       true},
  };
  for (const Case& c : cases) {
    write_file(file, bad_bytes(0x5A));
    const DecodedOutput first = ingest_frame_file(file, 0.0, 1, true, kAsked);
    ASSERT_EQ(first.outcome, FileDecodeOutcome::DecodeFailed) << c.what;
    ASSERT_TRUE(first.undecodable) << c.what;
    c.change(file);
    const uint64_t read_before = bytes_read_by_process();
    const DecodedOutput again = ingest_frame_file(file, 0.0, 1, true, kAsked, first.undecodable);
    const uint64_t read = bytes_read_by_process() - read_before;
    if (c.read) {
      EXPECT_EQ(again.outcome, FileDecodeOutcome::DecodeFailed) << c.what;
      EXPECT_GE(read, kBadBytes) << c.what;
      EXPECT_NE(again.undecodable, first.undecodable) << c.what;
    } else {
      EXPECT_EQ(again.outcome, FileDecodeOutcome::Unchanged) << c.what;
      EXPECT_EQ(again.file_bytes, 0u) << c.what;
      EXPECT_LT(read, kBadBytes / 16) << c.what;
      EXPECT_EQ(again.undecodable, first.undecodable) << c.what;
    }
  }
}

}  // namespace
}  // namespace vel
