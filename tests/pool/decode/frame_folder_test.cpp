// A worker that leaves a link to a user's folder (or to a user's file) where
// its output should be: the discovery and the decoders never read a file
// outside the job folder as a frame, and never remove one.

#include "pool/decode/frame_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "host/log_capture.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/output_discovery.h"
#include "support/scratch_dir.h"
#include "tga_writer.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ScratchDir;

void write_frame(const fs::path& p) {
  fs::create_directories(p.parent_path());
  sim::FrameImage image{4, 2, std::vector<uint8_t>(4 * 2 * 4, 200)};
  const std::vector<uint8_t> b = sim::encode_tga(image, {});
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::vector<fs::path> paths_of(const std::vector<DiscoveredFile>& files) {
  std::vector<fs::path> out;
  for (const DiscoveredFile& f : files) out.push_back(f.path);
  return out;
}

size_t files_in(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file() ? 1 : 0;
  return n;
}

// Runs one decoder over `jobs` until they are done; answers its messages.
std::vector<PoolFrameDelivery> decode(std::vector<DecodeJob> jobs) {
  auto [job_tx, job_rx] = make_bounded_channel<DecodeJob>(16);
  auto [frame_tx, frame_rx] = make_bounded_channel<PoolFrameDelivery>(16);
  for (DecodeJob& j : jobs) EXPECT_EQ(job_tx.send(std::move(j)), SendOutcome::Sent);
  job_tx.reset();
  DecodeWorkerContext context;
  context.frames = std::move(frame_tx);
  context.batch_start = std::chrono::steady_clock::now();
  context.stop = std::make_shared<std::atomic<bool>>(false);
  context.jobs = std::move(job_rx);
  decode_worker_loop(std::move(context));
  std::vector<PoolFrameDelivery> out;
  std::optional<PoolFrameDelivery> d;
  while (frame_rx.try_recv(d) == TryRecv::Value && d) out.push_back(std::move(*d));
  return out;
}

class LinkedOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    for (int i = 1; i <= 5; ++i) write_frame(user_ / ("holiday_0000" + std::to_string(i) + ".tga"));
    write_frame(job_ / "w1" / "f_00007.tga");
    std::this_thread::sleep_for(60ms);  // every file stood still for the settle
  }
  ScratchDir dir_{"vel-frame-folder"};
  fs::path user_ = dir_.path() / "Pictures";
  fs::path job_ = dir_.path() / "job_1";
};

// The worker renamed its folder and left a link to the user's in its place:
// the link is skipped with one ERROR line, however many scans meet it.
TEST_F(LinkedOutput, ALinkedWorkerFolderIsSkippedWithOneErrorLine) {
  fs::create_directory_symlink(user_, job_ / "w0");
  fake::LogCapture log;
  JobFolderScan state;
  std::atomic<bool> stop{false};
  for (int scan = 0; scan < 3; ++scan) {
    const auto files = scan_job_dir(job_, "tga", {}, stop, state);
    ASSERT_TRUE(files);
    EXPECT_EQ(paths_of(*files), std::vector<fs::path>{job_ / "w1" / "f_00007.tga"}) << "scan " << scan;
  }
  const std::vector<std::string> lines = log.lines_with("discovery skips");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ERROR: pool: discovery skips " + (job_ / "w0").string()), std::string::npos) << lines[0];
  const auto files = scan_job_dir(job_, "tga", {}, stop, state);
  EXPECT_EQ(decode({DecodeJob{files->at(0).path, 7, 0.0, 1, std::nullopt, files->at(0).folder, files->at(0).name}})
                .at(0)
                .file->outcome,
            FileDecodeOutcome::Decoded);
  EXPECT_EQ(files_in(user_), 5u);
  EXPECT_FALSE(fs::exists(job_ / "w1" / "f_00007.tga")) << "the worker's own frame goes once read";
}

// Inside a worker folder: a link named like a frame is not reported, and a
// second name of a user's file is neither taken nor removed.
TEST_F(LinkedOutput, LinksAndSecondNamesInAWorkerFolderAreNeverFrames) {
  fs::create_directories(job_ / "w0");
  fs::create_symlink(user_ / "holiday_00003.tga", job_ / "w0" / "f_00003.tga");
  fs::create_hard_link(user_ / "holiday_00004.tga", job_ / "w0" / "f_00004.tga");
  std::atomic<bool> stop{false};
  const auto files = scan_job_dir(job_, "tga", {}, stop);
  ASSERT_TRUE(files);
  std::vector<DecodeJob> jobs;
  for (const DiscoveredFile& f : *files) {
    EXPECT_NE(f.frame, 3) << "a link was reported";
    jobs.push_back(DecodeJob{f.path, f.frame, 0.0, 1, std::nullopt, f.folder, f.name});
  }
  for (const PoolFrameDelivery& d : decode(std::move(jobs)))
    EXPECT_EQ(d.pixels.has_value(), d.frame == 7) << "frame " << d.frame;
  EXPECT_EQ(files_in(user_), 5u);
  EXPECT_TRUE(fs::exists(job_ / "w0" / "f_00004.tga"));
}

// The folder swapped for a link after the discovery found a file in it: the
// decoder neither reads what the name gives now nor removes anything.
TEST_F(LinkedOutput, AFolderSwappedAfterTheScanIsNotReadThrough) {
  write_frame(job_ / "w0" / "holiday_00003.tga");
  std::this_thread::sleep_for(60ms);
  std::atomic<bool> stop{false};
  const auto files = scan_job_dir(job_, "tga", {}, stop);
  ASSERT_TRUE(files);
  std::vector<DecodeJob> jobs;
  for (const DiscoveredFile& f : *files)
    if (f.worker == 0u) jobs.push_back(DecodeJob{f.path, f.frame, 0.0, 1, std::nullopt, f.folder, f.name});
  ASSERT_EQ(jobs.size(), 1u);
  fs::rename(job_ / "w0", job_ / "w0.moved");
  fs::create_directory_symlink(user_, job_ / "w0");
  const std::vector<PoolFrameDelivery> out = decode(std::move(jobs));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].pixels) << "read through the swapped folder";
  EXPECT_EQ(files_in(user_), 5u);
  EXPECT_TRUE(fs::exists(job_ / "w0.moved" / "holiday_00003.tga"));
}

}  // namespace
}  // namespace vel
