// The stand-in aerender's faults scoped to one worker folder: a replay of
// the range runs under a new worker number, and so runs clean.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "aerender_faults.h"
#include "worker_file_faults.h"
#include "worker_switch.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;

TEST(WorkerFileFaults, ActOnlyInTheNamedWorkerFolder) {
  const std::map<std::string, std::string> env = {{"SIM_AERENDER_HANG_AFTER", "w0:5"},
                                                  {"SIM_AERENDER_SKIP_FRAME", "w1:9"}};
  const auto lookup = [&](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  struct Case {
    const char* output;
    std::optional<uint64_t> hang_after;
    std::optional<int64_t> skip_frame;
  } cases[] = {
      {"/tmp/job/w0/f_[#####].tga", 5, std::nullopt},
      {"/tmp/job/w1/f_[#####].tga", std::nullopt, 9},
      {"/tmp/job/w10/f_[#####].tga", std::nullopt, std::nullopt},  // not w1
      {"f_[#####].tga", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const sim::WorkerFileFaults f = sim::read_worker_file_faults(lookup, c.output);
    EXPECT_EQ(f.hang_after, c.hang_after) << c.output;
    EXPECT_EQ(f.skip_frame ? std::optional<int64_t>(f.skip_frame->number) : std::nullopt, c.skip_frame) << c.output;
  }
  for (const char* bad : {"w0", "w0:", "w0:x", "w0:-1", "w0:5x"}) {
    const auto one = [&](const char* name) -> std::optional<std::string> {
      return std::string(name) == "SIM_AERENDER_HANG_AFTER" ? std::optional<std::string>(bad) : std::nullopt;
    };
    EXPECT_FALSE(sim::read_worker_file_faults(one, "/tmp/job/w0/f_[#####].tga").hang_after) << bad;
  }
}

// Both families of switches (the file road's and the output module's) read
// their values through this one rule.
TEST(WorkerSwitch, NamesOneFolderWithANumberOrAWord) {
  struct Case {
    std::optional<std::string> value;
    std::optional<std::string> text;
    std::optional<int64_t> number;
  } cases[] = {
      {"w1", "", 0},
      {"w1:7", "7", 7},
      {"w1:-3", "-3", -3},
      {"w1:shrunk", "shrunk", std::nullopt},
      {"w1:", "", std::nullopt},
      {"w10:7", std::nullopt, std::nullopt},
      {"w0:7", std::nullopt, std::nullopt},
      {std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string shown = c.value.value_or("(none)");
    EXPECT_EQ(sim::worker_switch_text(c.value, "w1"), c.text) << shown;
    EXPECT_EQ(sim::worker_switch_number(c.value, "w1"), c.number) << shown;
  }
  EXPECT_EQ(sim::worker_folder_of("/tmp/job/w3/f_[#####].psd"), "w3");
  EXPECT_FALSE(sim::worker_switch_text(std::string("w1"), ""));
}

// A list names several folders; an item with a job number acts only in the
// job folder whose name ends in that number, so a later batch runs clean.
TEST(WorkerSwitch, ListsAndJobs) {
  struct Case {
    const char* value;
    const char* output;
    std::optional<int64_t> number;
  } cases[] = {
      {"w0:5,w1:2", "/p/job_2_99_0/w1/f_[#####].psd", 2},
      {"w0:5,w1:2", "/p/job_2_99_7/w0/f_[#####].psd", 5},
      {"0/w0:5,0/w1:2", "/p/job_2_99_0/w1/f_[#####].psd", 2},
      {"0/w0:5,0/w1:2", "/p/job_2_99_1/w1/f_[#####].psd", std::nullopt},
      {"10/w0:5", "/p/job_2_99_0/w0/f_[#####].psd", std::nullopt},
      {"0/w0:5", "/p/job_2_99_10/w0/f_[#####].psd", std::nullopt},
      {"0/w0:5", "/p/w0/f_[#####].psd", std::nullopt},  // no job number to match
      {"w1:3,w1:4", "/p/job_2_99_0/w1/f_[#####].psd", 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sim::worker_switch_number(std::string(c.value), sim::worker_scope_of(c.output)), c.number)
        << c.value << " " << c.output;
  }
  EXPECT_EQ(sim::worker_scope_of("/p/job_2_99_4/w3/f_[#####].psd"), "4/w3");
  EXPECT_EQ(sim::worker_scope_of("/p/job/w3/f_[#####].psd"), "w3");
}

TEST(WorkerFileFaults, ScopedCrashCostAndCorruptFrame) {
  const std::map<std::string, std::string> env = {{"SIM_AERENDER_CRASH_AFTER", "0/w0:5"},
                                                  {"SIM_AERENDER_FRAME_MS", "w1:60"},
                                                  {"SIM_AERENDER_CORRUPT", "0/w0:7"},
                                                  {"SIM_AERENDER_UNEXEC_AFTER", "w0:2"},
                                                  {"SIM_AERENDER_SKIP_FRAME", "w1:+3"}};
  const auto lookup = [&](const char* name) -> std::optional<std::string> {
    auto it = env.find(name);
    return it == env.end() ? std::nullopt : std::optional<std::string>(it->second);
  };
  const sim::WorkerFileFaults w0 = sim::read_worker_file_faults(lookup, "/p/job_2_9_0/w0/f_[#####].psd");
  EXPECT_EQ(w0.crash_after, 5u);
  ASSERT_TRUE(w0.corrupt_frame);
  EXPECT_TRUE(w0.corrupt_frame->is(7, 3));
  EXPECT_FALSE(w0.corrupt_frame->is(10, 3));
  EXPECT_EQ(w0.unexec_after, 2u);
  EXPECT_EQ(w0.extra_frame_ms, 0u);
  const sim::WorkerFileFaults later = sim::read_worker_file_faults(lookup, "/p/job_2_9_1/w0/f_[#####].psd");
  EXPECT_FALSE(later.crash_after);
  EXPECT_FALSE(later.corrupt_frame);
  const sim::WorkerFileFaults w1 = sim::read_worker_file_faults(lookup, "/p/job_2_9_1/w1/f_[#####].psd");
  EXPECT_EQ(w1.extra_frame_ms, 60u);
  // "+k": the frame k after the range's first.
  ASSERT_TRUE(w1.skip_frame);
  EXPECT_TRUE(w1.skip_frame->is(13, 10));
  EXPECT_FALSE(w1.skip_frame->is(3, 10));
  // The scoped values are not the all-workers forms.
  const auto faults = sim::read_aerender_faults(lookup);
  ASSERT_TRUE(faults.ok()) << faults.error();
  EXPECT_FALSE(faults.value().crash_after);
  EXPECT_TRUE(faults.value().corrupt.empty());
  EXPECT_EQ(faults.value().extra_frame_ms, 0u);
}

TEST(WorkerFileFaults, SkippedFrameAndAStatusOfZero) {
  testing::ScratchDir dir("vel-aerender-skip");
  ASSERT_TRUE(dir.ok());
  for (const char* worker : {"w0", "w1"}) {
    const fs::path folder = dir.path() / "job" / worker;
    fs::create_directories(folder);
    const std::vector<std::string> args = {"-project", std::string(VEL_DEMO_DIR) + "/sample.aep", "-comp", "Main",
                                           "-s", "0", "-e", "2", "-OMtemplate", "velocinta-tga-v1", "-mfr", "ON",
                                           "80", "-output", (folder / "f_[#####].tga").string()};
    const testing::ChildResult r = testing::run_child(VEL_AERENDER_PATH, args, {"SIM_AERENDER_SKIP_FRAME=w0:1"}, "", 120);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(fs::exists(folder / "f_00000.tga")) << worker;
    EXPECT_EQ(fs::exists(folder / "f_00001.tga"), std::string(worker) == "w1") << worker;
    EXPECT_TRUE(fs::exists(folder / "f_00002.tga")) << worker;
  }
}

}  // namespace
}  // namespace vel
