#include "pool/decode/output_discovery.h"

#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "core/process_flags.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

void touch(const fs::path& p) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << "x";
}

std::vector<int64_t> frames_of(const std::vector<DiscoveredFile>& files) {
  std::vector<int64_t> out;
  for (const auto& f : files) out.push_back(f.frame);
  return out;
}

TEST(FrameNumber, DigitsAtTheEndOfTheStem) {
  struct Case {
    const char* name;
    std::optional<int64_t> frame;
  };
  for (const Case& c : std::vector<Case>{{"f_00012.tga", 12},
                                         {"f_00012", 12},
                                         {"f_00012.tga.tmp", std::nullopt},
                                         {"f_.tga", std::nullopt},
                                         {"f_999999999999.psd", 999999999999},
                                         {"f_1234567890123.psd", std::nullopt},
                                         {"7.psd", 7}}) {
    EXPECT_EQ(frame_number_from_file_name(c.name), c.frame) << c.name;
  }
}

TEST(FinishedFrame, OnlyFilesOfTheBatchFormat) {
  struct Case {
    const char* name;
    const char* extension;
    std::optional<int64_t> frame;
  };
  for (const Case& c : std::vector<Case>{{"f_00012.TGA", "tga", 12},
                                         {"f_00012.tga", "psd", std::nullopt},
                                         {"AEtemp_f_00012.tga", "tga", std::nullopt},
                                         {"f_00012.tga.tmp", "tga", std::nullopt},
                                         {"f_00012.tgax", "tga", std::nullopt},
                                         {"f_00012", "tga", std::nullopt},
                                         {"f_\xff_00012.psd", "psd", std::nullopt},
                                         {"f_\xc3\xa9_00012.psd", "psd", 12}}) {
    EXPECT_EQ(finished_frame_of(c.name, c.extension), c.frame) << c.name;
  }
}

TEST(ReadFirst, AroundThePlayhead) {
  std::vector<DiscoveredFile> files;
  for (int64_t f : {10, 3, 12, 7}) files.push_back({fs::path("w0") / std::to_string(f), f, false, 0});
  std::vector<DiscoveredFile> with = files, without = files;
  sort_read_first(with, {true, 8});
  sort_read_first(without, {false, 8});
  EXPECT_EQ(frames_of(with), (std::vector<int64_t>{10, 12, 3, 7}));
  EXPECT_EQ(frames_of(without), (std::vector<int64_t>{3, 7, 10, 12}));

  // Stable from 21 files on too: equal frames keep their order.
  std::vector<DiscoveredFile> many;
  for (int i = 0; i < 30; ++i) many.push_back({fs::path("w" + std::to_string(i % 2)), 29 - i / 2, false, 0});
  sort_read_first(many, {true, 20});
  ASSERT_EQ(many.front().frame, 20);
  EXPECT_EQ(many[0].path, fs::path("w0"));
  EXPECT_EQ(many[1].path, fs::path("w1"));
  EXPECT_EQ(many.back().frame, 19);
}

TEST(ScanJobDir, WorkerFoldersOnlyWithTheirAges) {
  ScratchDir dir("vel-discovery");
  const fs::path job = dir.path() / "job_1_2_3";
  for (int f : {10, 3, 12, 7}) touch(job / ("w" + std::to_string(f % 2)) / ("f_" + std::to_string(f) + ".tga"));
  touch(job / "w0" / "f_00005.psd");
  touch(job / "w0.log");  // a worker's log beside its folder
  touch(job / "w1" / "AEtemp_f_00004.tga");
  touch(job / "other" / "f_00009.tga");  // no worker's folder
  std::atomic<bool> stop{false};
  const auto files = scan_job_dir(job, "tga", {true, 8}, stop);
  ASSERT_TRUE(files);
  EXPECT_EQ(frames_of(*files), (std::vector<int64_t>{9, 10, 12, 3, 7}));
  for (const DiscoveredFile& f : *files) {
    const std::optional<uint64_t> worker = f.frame == 9 ? std::nullopt : std::optional<uint64_t>(f.frame % 2);
    EXPECT_EQ(f.worker, worker) << f.path;
  }
  EXPECT_EQ((*files)[1].path, job / "w0" / "f_10.tga");
  EXPECT_TRUE((*files)[1].age_known);
  EXPECT_GE((*files)[1].age_ms, 0.0);
  stop = true;
  EXPECT_FALSE(scan_job_dir(job, "tga", {}, stop)) << "a raised stop flag drops the scan";
}

std::atomic<int> g_early_idle_calls{0};
void count_early_idle() { g_early_idle_calls.fetch_add(1); }

TEST(DiscoveryWorker, OneReportPerRequestAndAnEmptyOneForAMissingFolder) {
  g_early_idle_calls = 0;
  set_early_idle_caller(&count_early_idle);
  ScratchDir dir("vel-discovery");
  const fs::path job = dir.path() / "job_9";
  touch(job / "w2" / "f_00001.psd");
  touch(job / "w2" / "f_00002.psd");
  std::promise<void> released;
  DiscoveryHandle handle = spawn_output_discovery(
      job, make_job_dir_guard(job, [&released](const fs::path&) { released.set_value(); }), WorkerOutputFormat::Psd);
  ASSERT_EQ(handle.requests.send({true, 2}), SendOutcome::Sent);
  std::optional<DiscoveryReport> report = [&] {
    ChannelReceiver<DiscoveryReport> rx = handle.reports;
    return rx.recv();
  }();
  ASSERT_TRUE(report);
  EXPECT_EQ(frames_of(report->files), (std::vector<int64_t>{2, 1}));

  fs::remove_all(job);
  ASSERT_EQ(handle.requests.send({false, 0}), SendOutcome::Sent);
  ChannelReceiver<DiscoveryReport> rx = handle.reports;
  report = rx.recv();
  ASSERT_TRUE(report);
  EXPECT_TRUE(report->files.empty());
  // A third round: by now the worker has made its wake-up calls for the first
  // two, and an empty report makes none.
  ASSERT_EQ(handle.requests.send({false, 0}), SendOutcome::Sent);
  ASSERT_TRUE(rx.recv());
  EXPECT_EQ(g_early_idle_calls.load(), 1);
  set_early_idle_caller(nullptr);
  rx.reset();

  // Replacing the handle releases it: the stop flag rises and the worker
  // ends, which lets go of the job folder.
  const std::shared_ptr<std::atomic<bool>> old_stop = handle.stop;
  handle = spawn_output_discovery(job, nullptr, WorkerOutputFormat::Tga);
  EXPECT_TRUE(old_stop->load());
  released.get_future().wait();
}

}  // namespace
}  // namespace vel
