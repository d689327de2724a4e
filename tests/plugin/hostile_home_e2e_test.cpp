// The plug-in loaded by the stand-in host in an unlucky home folder: FIFOs
// where the log and the options go, the options linked to /dev/zero, the
// disk store's root linked into a folder of the user's, a plain file where a
// stream folder goes. Each run loads, plays and quits, and nothing of the
// user's is lost.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "store/store_names.h"
#include "store/stream_dir.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

// Every entry of a tree with its bytes ("<dir>" for a folder).
std::map<std::string, std::string> tree_of(const fs::path& top) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it) {
    out[fs::relative(it->path(), top).string()] = it->is_regular_file() ? read_text(it->path()) : "<dir>";
  }
  return out;
}

class HostileHomeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const fs::path& d : {home_, root_ / "tmp", root_ / "out", root_ / "cwd"}) fs::create_directories(d);
    std::ofstream(quit_after_frames_) << R"({"events": [{"when": {"frames": 12}, "action": "quit"}]})";
  }
  // Plays the sample project with the default switches until a dozen frames
  // reached the picture; the seconds only bound a run that hangs.
  testing::ChildResult play() {
    const std::vector<std::string> args = {
        "--plugin", VEL_PLUGIN_PATH, "--project", std::string(VEL_DEMO_DIR) + "/sample.aep", "--seconds", "120",
        "--out", (root_ / "out").string(), "--command", "Velocinta", "--scenario", quit_after_frames_.string(),
        "--no-gpu"};
    const std::vector<std::string> env = {"HOME=" + home_.string(), "TMPDIR=" + (root_ / "tmp").string()};
    return testing::run_child(VEL_SIMHOST_PATH, args, env, (root_ / "cwd").string(), 150);
  }
  // The run loaded the plug-in and played to its end.
  void expect_played(const testing::ChildResult& r) {
    ASSERT_FALSE(r.timed_out) << r.output;
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const json s = json::parse(read_text(root_ / "out" / "summary.json"));
    EXPECT_EQ(s["entry_error"], 0);
    EXPECT_EQ(s["hooks"]["idle"], 1) << "the plug-in registered its hooks";
    EXPECT_TRUE(s["quit"].get<bool>()) << s["still_waiting"];
  }
  fs::path library(const char* sub) { return home_ / "Library" / sub; }
  fs::path log_path() { return library("Logs") / "velocinta.log"; }
  fs::path options_path() { return library("Application Support") / "velocinta" / "panel_options.json"; }

  testing::ScratchDir scratch_{"vel-hostile"};
  fs::path root_ = scratch_.path();
  fs::path home_ = root_ / "home";
  fs::path quit_after_frames_ = root_ / "twelve-frames.json";
};

// A blocking open of either FIFO held the host at load for ever.
TEST_F(HostileHomeRun, FifosAtTheLogAndTheOptionsHoldNothingUp) {
  fs::create_directories(log_path().parent_path());
  fs::create_directories(options_path().parent_path());
  ASSERT_EQ(::mkfifo(log_path().c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(options_path().c_str(), 0600), 0);
  expect_played(play());
  EXPECT_TRUE(fs::is_fifo(log_path())) << "the user's FIFO is left where it is";
  EXPECT_TRUE(fs::is_fifo(options_path()));
}

// Read without a limit, /dev/zero filled the memory until the entry failed.
TEST_F(HostileHomeRun, OptionsLinkedToDevZeroGiveTheDefaultsWithOneLine) {
  fs::create_directories(options_path().parent_path());
  fs::create_symlink("/dev/zero", options_path());
  expect_played(play());
  const std::string log = read_text(log_path());
  EXPECT_NE(log.find("] INFO: velocinta "), std::string::npos) << log;
  size_t refused = 0;
  for (size_t at = log.find("options: fichier refusé"); at != std::string::npos; at = log.find("options: fichier refusé", at + 1)) {
    ++refused;
  }
  EXPECT_EQ(refused, 1u) << log;
  EXPECT_NE(log.find(R"(INFO: options: {"quality":1,"speed":0,"autosave":true,"depth":8})"), std::string::npos) << log;
}

// The cache moved to another disk by a link, into a folder holding the
// user's own folders two levels down, and a plain file where the
// composition's stream folder goes: the store takes its stream, and every
// file and folder of the user's is still there after the size sweep.
TEST_F(HostileHomeRun, ALinkedStoreRootKeepsTheUsersFoldersAndAFileAtTheStreamsNameIsMended) {
  const fs::path disk = root_ / "ExternalDisk";
  for (const char* d : {"projA/2019", "projA/2020", "projA/2021", "photos/trip", "photos/family"}) {
    fs::create_directories(disk / d);
    std::ofstream(disk / d / "picture.jpg") << d;
  }
  const auto fingerprint = fingerprint_file(fs::path(VEL_DEMO_DIR) / "sample.aep", [] { return true; });
  ASSERT_TRUE(fingerprint);
  const fs::path stream = disk / "Main" / stream_dir_name(*fingerprint);
  fs::create_directories(stream.parent_path());
  std::ofstream(stream) << "not a folder";
  const auto before = tree_of(disk);
  fs::create_directories(library("Caches") / "velocinta");
  fs::create_symlink(disk, library("Caches") / "velocinta" / "framestore-fast-v1");

  expect_played(play());
  EXPECT_TRUE(fs::is_symlink(library("Caches") / "velocinta" / "framestore-fast-v1"));
  size_t frames = 0;
  if (fs::is_directory(fs::symlink_status(stream))) {
    for (const auto& e : fs::directory_iterator(stream)) frames += e.path().extension() == ".vnf";
  }
  EXPECT_GT(frames, 0u) << "the stream folder took the file's place: " << read_text(log_path());

  auto after = tree_of(disk);
  for (auto it = after.begin(); it != after.end();) {
    it = it->first.starts_with("Main/") ? after.erase(it) : std::next(it);
  }
  auto expected = before;
  expected.erase("Main/" + stream_dir_name(*fingerprint));
  EXPECT_EQ(after, expected) << "every file and folder of the user's is still there";
}

}  // namespace
}  // namespace vel
