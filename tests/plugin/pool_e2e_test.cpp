// The pool in the stand-in host up to its launch: the templates made through
// the host's script engine, the wait for a save, the snapshot in the private
// pool folder, and the developer's snapshot probe.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "plugin/scan_budget.h"
#include "vel_build_paths.h"

namespace vel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::read_text;

class PoolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const char* d : {"home", "tmp", "out", "cwd"}) fs::create_directories(root_ / d);
    fs::copy_file(std::string(VEL_DEMO_DIR) + "/sample.aep", project_);
  }
  testing::ChildResult run(std::vector<std::string> env, const json& events, std::vector<std::string> extra = {},
                           double seconds = 1.0) {
    std::ofstream(root_ / "scenario.json") << json{{"events", events}}.dump();
    std::vector<std::string> args = {"--plugin", VEL_PLUGIN_PATH, "--project", project_.string(), "--seconds",
                                     std::to_string(seconds), "--out", (root_ / "out").string(), "--scenario",
                                     (root_ / "scenario.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    env.push_back("HOME=" + (root_ / "home").string());
    env.push_back("TMPDIR=" + (root_ / "tmp").string());
    env.push_back("VELOCINTA_DEV=1");
    env.push_back("VELOCINTA_PERF=1");
    return testing::run_child(VEL_SIMHOST_PATH, args, env, (root_ / "cwd").string(), 60);
  }
  json summary() { return json::parse(read_text(root_ / "out" / "summary.json")); }
  std::string log() { return read_text(root_ / "home" / "Library" / "Logs" / "velocinta.log"); }
  // What the pool wrote there; "host.lock" is the folder's own lock, held by
  // the host that uses it, and "workers" its record of the workers it started.
  std::vector<std::string> pool_files() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ / "tmp" / "velocinta_pool", ec)) {
      const fs::path name = e.path().filename();
      if (name != "host.lock" && name != "workers") out.push_back(name.string());
    }
    return out;
  }
  static json command(int at, const char* name) { return {{"at_ms", at}, {"action", "command"}, {"name", name}}; }

  testing::ScratchDir scratch_{"vel-pool-e2e"};
  fs::path root_ = scratch_.path();
  fs::path project_ = root_ / "project.aep";
};

TEST_F(PoolRun, TemplatesOnceThenAnEditWaitsForTheSaveAndTheSnapshotFollows) {
  json events = json::array({command(50, "Velocinta"), command(100, "velocinta: pool (toggle)"),
                             {{"at_ms", 400}, {"action", "edit"}, {"pointer", "/compositions/0/layers/1/solid/color"},
                              {"value", json::array({0.2, 0.8, 0.3})}},
                             {{"at_ms", 900}, {"action", "save"}}});
  auto r = run({"VELOCINTA_OUTPUT_FORMAT=tga"}, events, {}, 4.5);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::string text = log();
  EXPECT_NE(text.find("PERF: POOL_OUTPUT requested=tga selected=tga template=velocinta-tga-v1"), std::string::npos)
      << text;
  EXPECT_NE(text.find("PERF: PREVIEW_PROFILE pool=fast-v1 bpc=8 motion_blur=off templates=v6"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("PERF: SNAPSHOT copy_ms=[0-9]+\\.[0-9]\n"))) << text;
  EXPECT_EQ(read_text(root_ / "home" / "Library" / "Application Support" / "velocinta" / "rs_template_v6").size(), 85u);

  json s = summary();
  ASSERT_EQ(s["scripts"].size(), 1u) << s["scripts"].dump();
  EXPECT_EQ(s["scripts"][0]["result"].get<std::string>().rfind("created|", 0), 0u);
  for (const char* name : {"velocinta-quarter-v6", "velocinta-half-v6", "velocinta-extreme-v6", "velocinta-tga-v1"})
    EXPECT_NE(s["templates"].dump().find(name), std::string::npos) << name;

  // The background copy served the session; the quit takes it away.
  EXPECT_TRUE(pool_files().empty()) << ::testing::PrintToString(pool_files());

  // A second run finds the templates: saving them again would fail here.
  auto again = run({"VELOCINTA_OUTPUT_FORMAT=tga"}, json::array({command(50, "velocinta: pool (toggle)")}),
                   {"--script-switch", "save-fails"}, 0.8);
  ASSERT_EQ(again.exit_code, 0) << again.output;
  EXPECT_NE(summary()["scripts"][0]["result"].get<std::string>().find("|output=tga|"), std::string::npos);
}

// The user's template for memory output can only be made where the host
// process registered the module: the dialog offers the format when memory
// output is asked for, and not otherwise (the step fails and says so).
TEST_F(PoolRun, TheHostsDialogOffersTheMemoryFormatOnlyWhenMemoryIsAsked) {
  const json make = {{"at_ms", 0},
                     {"action", "output_module_template"},
                     {"name", "velocinta-memory-v1"},
                     {"format", "Velocinta Memory 8bpc"},
                     {"channels", "RGB + Alpha"},
                     {"depth", "Millions of Colors+"},
                     {"color", "Straight (Unmatted)"}};
  const json events = json::array({make, {{"at_ms", 10}, {"action", "quit"}}});
  for (const char* format : {"memory", "psd"}) {
    SCOPED_TRACE(format);
    fs::remove_all(root_ / "home" / "Library" / "Preferences");
    auto r = run({std::string("VELOCINTA_OUTPUT_FORMAT=") + format}, events, {}, 30);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    const json s = summary();
    const bool memory = std::string(format) == "memory";
    EXPECT_EQ(s["output_modules"], memory ? json::array({"Velocinta Memory 8bpc"}) : json::array());
    EXPECT_EQ(s["templates"].dump().find("velocinta-memory-v1") != std::string::npos, memory) << s["templates"];
    if (memory) {
      EXPECT_TRUE(s["scenario_failures"].empty()) << s["scenario_failures"];
      EXPECT_EQ(log().find("ERROR"), std::string::npos) << log();
    } else {
      ASSERT_EQ(s["scenario_failures"].size(), 1u) << s["scenario_failures"];
      const std::string failure = s["scenario_failures"][0].get<std::string>();
      EXPECT_EQ(failure, "output_module_template at 0 ms: Output Module Templates: \"velocinta-memory-v1\": format "
                         "\"Velocinta Memory 8bpc\" is not offered; the formats are Photoshop, Targa");
      EXPECT_NE(r.output.find("simhost: scenario: " + failure), std::string::npos) << r.output;
    }
  }
}

TEST_F(PoolRun, MemoryWithoutTheUsersTemplateFallsBackToPsd) {
  auto r = run({"VELOCINTA_OUTPUT_FORMAT=memory"}, json::array({command(50, "velocinta: pool (toggle)")}), {}, 0.8);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(summary()["scripts"][0]["result"].get<std::string>().find("|output=psd|memory-fallback:"),
            std::string::npos);
  EXPECT_NE(log().find("POOL_OUTPUT requested=vnm selected=psd template=Photoshop"), std::string::npos) << log();
  // Also without PERF lines: the user is told, once, which template to make.
  const std::string said = "INFO: pool: sortie mémoire demandée, mais le modèle de module de sortie « velocinta-memory-v1 » "
                           "manque ou ne convient pas (create velocinta-memory-v1 with Format Velocinta Memory 8bpc in "
                           "Output Module Templates) — les workers rendent en PSD";
  const size_t at = log().find(said);
  EXPECT_NE(at, std::string::npos) << log();
  EXPECT_EQ(log().find(said, at + 1), std::string::npos) << log();
}

TEST_F(PoolRun, WithoutTheOptimisationTheSnapshotIsADirectCopy) {
  // The copy is the project itself: the host quits once the snapshot holds
  // the project's text, and the quit takes the copy away.
  const std::string text = read_text(project_);
  json quit = {{"action", "quit"},
               {"when", {{"file", (root_ / "tmp" / "velocinta_pool" / "snapshot.aep").string()}, {"has", text}}}};
  auto r = run({"VELOCINTA_PIPELINE_OPTIMIZE=0"}, json::array({command(50, "velocinta: pool (toggle)"), quit}), {},
               5.0);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(summary().value("quit", false)) << "the snapshot never held the project";
  EXPECT_TRUE(pool_files().empty()) << ::testing::PrintToString(pool_files());
}

TEST_F(PoolRun, TheSnapshotProbeSavesACopyIntoThePoolFolder) {
  auto r = run({}, json::array({command(50, "velocinta: snapshot probe (S3.1)")}), {}, 0.5);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(log().find("S3.1 snapshot: Ok(("), std::string::npos) << log();
  json saves = summary()["saves"];
  ASSERT_EQ(saves.size(), 1u);
  EXPECT_GT(saves[0]["size"].get<uint64_t>(), 0u);
  EXPECT_EQ(pool_files(), std::vector<std::string>{"velocinta_snapshot.aep"});
}

TEST_F(PoolRun, AFailedSaveOfACopyLeavesNoPartialFile) {
  auto r = run({}, json::array({command(50, "velocinta: snapshot probe (S3.1)")}),
               {"--script-switch", "save-copy-half-fails"}, 0.5);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(log().find("S3.1 snapshot: Err(\"save_project_to_path: "), std::string::npos) << log();
  EXPECT_EQ(summary()["saves"].size(), 1u);  // the host did write half a file
  EXPECT_TRUE(pool_files().empty()) << ::testing::PrintToString(pool_files());
}

// A composition the raster renderer draws needs no engine: the pool stays
// stopped, so neither the template script nor a snapshot runs.
TEST_F(PoolRun, WhileTheRasterPathHoldsTheCompositionThePoolStaysStopped) {
  fs::copy_file(std::string(VEL_DEMO_DIR) + "/raster.aep", project_, fs::copy_options::overwrite_existing);
  for (int attempt = 0; attempt < 5; ++attempt) {
    for (const char* d : {"home", "tmp", "out"}) {
      fs::remove_all(root_ / d);
      fs::create_directories(root_ / d);
    }
    auto r = run({"VELOCINTA_RASTER=1"}, json::array({command(50, "velocinta: pool (toggle)")}), {}, 0.8);
    ASSERT_EQ(r.exit_code, 0) << r.output;
    if (!testing::scan_cut_short(log())) break;
  }
  ASSERT_NE(log().find("PREVIEW_PROFILE renderer=raster"), std::string::npos) << log();
  EXPECT_NE(log().find("velocinta: pool activ"), std::string::npos) << log();
  EXPECT_EQ(summary().value("scripts", json::array()).size(), 0u);
  EXPECT_TRUE(pool_files().empty()) << ::testing::PrintToString(pool_files());
}

}  // namespace
}  // namespace vel
