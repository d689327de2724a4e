// The host's home on a small volume of its own (a tmpfs the test mounts in
// its private mount namespace): playing a composition whose frames would
// fill it leaves its free space to the user's files, says once in the log
// why the disk store writes nothing, and the panel shows every frame all
// the same.
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin/small_volume.h"
#include "plugin/turning_bar.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

constexpr int kVolumeFps = 30;
constexpr int kShown = 90;                   // frames the run plays before it quits
constexpr uint64_t kVolumeBytes = 8 << 20;  // less than the frames the run makes would take

// 320 × 180, ten minutes, no render cost, every frame different (a bar
// crossing the picture and a square turning 7° a frame): the cache fills
// thousands of frames in the seconds the run plays.
json turning_project() { return testing::turning_bar_project("Turning", 10 * 60 * kVolumeFps, kVolumeFps); }

uint64_t free_bytes(const fs::path& p) {
  struct statvfs st {};
  if (::statvfs(p.c_str(), &st) != 0) return 0;
  return uint64_t{st.f_bavail} * st.f_frsize;
}

size_t count_in_volume_log(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(SmallVolume, PlayingLeavesTheVolumesFreeSpaceAndShowsEveryFrame) {
  if (!testing::in_own_namespace()) GTEST_SKIP() << "no namespace of the test's own here: nothing is mounted";
  testing::ScratchDir scratch("vel-small-volume");
  ASSERT_TRUE(scratch.ok());
  const fs::path home = scratch.path() / "home";
  const fs::path out = scratch.path() / "out";
  const fs::path tmp = scratch.path() / "tmp";
  for (const fs::path& d : {home, out, tmp}) fs::create_directories(d);
  testing::SmallVolume volume(home, kVolumeBytes);
  if (volume.refused()) GTEST_SKIP() << "this namespace takes no mount: " << volume.error();
  ASSERT_TRUE(volume.mounted()) << "a tmpfs could not be mounted in the test's own namespace: " << volume.error();
  const uint64_t free_before = free_bytes(home);

  const fs::path project = scratch.path() / "turning.aep";
  std::ofstream(project) << turning_project().dump();
  const json scenario = {
      {"events",
       {{{"at_ms", 0}, {"action", "open_panel"}, {"width", 960}, {"height", 540}, {"scale", 1}},
        {{"when", {{"frames", kShown}}}, {"action", "quit"}}}}};
  std::ofstream(out / "scenario.json") << scenario.dump();
  const std::vector<std::string> args = {"--plugin",   VEL_PLUGIN_PATH,  "--project", project.string(),
                                         "--seconds",  "120",            "--out",     out.string(),
                                         "--scenario", (out / "scenario.json").string(), "--no-gpu"};
  const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + tmp.string()};
  const testing::ChildResult r = testing::run_child(VEL_SIMHOST_PATH, args, env, out.string(), 150);
  ASSERT_FALSE(r.timed_out) << r.output;
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const uint64_t free_after = free_bytes(home);
  std::printf("free on the %llu-byte volume: %llu bytes before the run, %llu after\n",
              static_cast<unsigned long long>(kVolumeBytes), static_cast<unsigned long long>(free_before),
              static_cast<unsigned long long>(free_after));
  ::testing::Test::RecordProperty("free_bytes_after", std::to_string(free_after));

  const json s = json::parse(read_text(out / "summary.json"), nullptr, false);
  ASSERT_TRUE(s.is_object()) << r.output;
  EXPECT_TRUE(s.value("quit", false)) << "the panel stopped showing frames, still waiting for "
                                      << s.value("still_waiting", "");
  EXPECT_GE(s.at("panel").at("picture").at("frames_shown").get<int>(), kShown);

  // Below the reserve a volume this small is never written: what the run
  // took is the log and the options, a few pages.
  EXPECT_GE(free_after + (256 << 10), free_before) << "the store took the volume's free space";
  const std::string log = read_text(home / "Library" / "Logs" / "velocinta.log");
  EXPECT_EQ(count_in_volume_log(log, "S9 disque : écritures arrêtées, le volume du cache n'a plus que "), 1u) << log;
  EXPECT_EQ(count_in_volume_log(log, "store: frame write failed"), 0u) << log;
}

}  // namespace
}  // namespace vel
