// The floating panel of the "Velocinta" command in the stand-in host, by
// the switches and the stand-in GPU's faults: which way its frames reach the
// screen, that a failing GPU degrades to the blit and then the direct path
// while the frames keep coming, and that nothing Metal is misused or left
// alive after the death hook.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSeconds = 10.0;  // sanitized builds present several times slower
#else
constexpr double kSeconds = 2.5;
#endif

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MetalPanel, SwitchesAndFaultsPickTheWayFramesReachTheScreen) {
  struct Case {
    const char* name;
    std::vector<std::string> env;
    std::vector<std::string> args;
    const char* scenario;  // events, or "" for none
    std::vector<const char*> used;    // backends that presented
    std::vector<const char*> unused;  // backends that did not
    std::vector<const char*> log_lines;
  };
  const Case cases[] = {
      // The host paints the layer's contents while the worker presents.
      {"gpu", {}, {}, R"({"at_ms": 1200, "action": "screenshot", "path": "shot.png"})", {"metal-gpu"},
       {"appkit", "metal-blit", "metal-direct"}, {}},
      {"blit", {"VELOCINTA_METAL_GPU=0"}, {}, "", {"metal-blit"}, {"appkit", "metal-gpu", "metal-direct"}, {}},
      {"direct", {"VELOCINTA_METAL_GPU=0", "VELOCINTA_METAL_BLIT=0"}, {}, "", {"metal-direct"},
       {"appkit", "metal-gpu", "metal-blit"}, {}},
      {"metal-off", {"VELOCINTA_METAL=0"}, {}, "", {"appkit"}, {"metal-gpu", "metal-blit", "metal-direct"}, {}},
      {"no-gpu", {}, {"--no-gpu"}, "", {"appkit"}, {"metal-gpu", "metal-blit", "metal-direct"}, {}},
      // Every command buffer fails from the start; those of stale jobs do
      // not count, hence more than six.
      {"failing-gpu", {}, {}, R"({"at_ms": 0, "action": "metal", "fail_command_buffers": 40})",
       {"metal-direct"}, {"appkit"},
       {"metal: command failed; displayed image retained and latest frame retried",
        "metal: repeated GPU errors; using CPU preparation", "metal: repeated blit errors; using direct upload"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir scratch("vel-metal-panel");
    ASSERT_TRUE(scratch.ok());
    const fs::path root = scratch.path();
    fs::create_directories(root / "home");
    fs::create_directories(root / "tmp");
    fs::create_directories(root / "out");
    std::vector<std::string> env = c.env;
    env.push_back("HOME=" + (root / "home").string());
    env.push_back("TMPDIR=" + (root / "tmp").string());
    std::vector<std::string> args = {"--plugin", VEL_PLUGIN_PATH, "--project", std::string(VEL_DEMO_DIR) + "/sample.aep",
                                     "--seconds", std::to_string(kSeconds), "--out", (root / "out").string(), "--command", "Velocinta"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (*c.scenario != '\0') {
      std::ofstream(root / "scenario.json") << R"({"events": [)" << c.scenario << "]}";
      args.insert(args.end(), {"--scenario", (root / "scenario.json").string()});
    }
    auto r = testing::run_child(VEL_SIMHOST_PATH, args, env, root.string(), 120);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const json s = json::parse(read_all(root / "out" / "summary.json"));
    const json& shown = s.at("presentations");
    for (const char* b : c.used) EXPECT_GT(shown.value(b, uint64_t{0}), 0u) << b << " " << shown.dump();
    for (const char* b : c.unused) EXPECT_EQ(shown.value(b, uint64_t{0}), 0u) << b << " " << shown.dump();
    EXPECT_TRUE(s.at("metal_validation").empty()) << s.at("metal_validation").dump();
    for (const auto& [kind, live] : s.at("metal_live_after_death").items()) {
      if (kind != "devices") {
        EXPECT_EQ(live.get<int64_t>(), 0) << kind;
      }
    }
    if (std::string(c.scenario).find("screenshot") != std::string::npos) {
      EXPECT_TRUE(s.at("scenario_failures").empty()) << s.at("scenario_failures").dump();
      EXPECT_GT(fs::file_size(root / "out" / "shot.png"), 1000u);
    }
    const std::string log = read_all(root / "home" / "Library" / "Logs" / "velocinta.log");
    for (const char* line : c.log_lines) EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace vel
