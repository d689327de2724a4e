// Runs of the stand-in host with the pool on, shared by the pool's
// end-to-end tests: simhost inside a private pid namespace (the wrapper
// fails the run when any process outlives simhost), a scratch home and
// temporary folder, the plug-in's log, the pool's job folders and the
// thread census the death hook leaves.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel::testing {

class SimhostPoolRun : public ::testing::Test {
 protected:
  using json = nlohmann::json;

  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const char* d : {"home", "tmp", "out", "cwd"}) std::filesystem::create_directories(root_ / d);
    // The sample at a sixth of its size: the workers' frames come quickly
    // even in sanitizer builds.
    json project = json::parse(read_text(std::string(VEL_DEMO_DIR) + "/sample.aep"));
    project["compositions"][0]["width"] = 320;
    project["compositions"][0]["height"] = 180;
    std::ofstream(project_) << project.dump();
  }
  json project() { return json::parse(read_text(project_)); }
  void write_project(const json& p) { std::ofstream(project_) << p.dump(); }

  // simhost under the namespace wrapper, with the pool's stand-in aerender
  // unless `env` names another.
  ChildResult run(std::vector<std::string> env, const json& events, double seconds,
                  const std::vector<std::string>& simhost_args = {}) {
    return run_in(root_, std::move(env), events, seconds, simhost_args);
  }
  // As run(), with the home, output and scenario in `base`; the temporary
  // folder stays root_/tmp, so that hosts run in two bases are two hosts of
  // one user side by side.
  ChildResult run_in(const std::filesystem::path& base, std::vector<std::string> env, const json& events,
                     double seconds, const std::vector<std::string>& simhost_args = {}) {
    for (const char* d : {"home", "out"}) std::filesystem::create_directories(base / d);
    std::ofstream(base / "scenario.json") << json{{"events", events}}.dump();
    std::vector<std::string> args = {VEL_SIMHOST_PATH, "--plugin", VEL_PLUGIN_PATH, "--project", project_.string(),
                                     "--seconds", std::to_string(seconds), "--out", (base / "out").string(),
                                     "--scenario", (base / "scenario.json").string()};
    args.insert(args.end(), simhost_args.begin(), simhost_args.end());
    env.push_back("HOME=" + (base / "home").string());
    env.push_back("TMPDIR=" + (root_ / "tmp").string());
    env.push_back("VELOCINTA_DEV=1");
    env.push_back("VELOCINTA_PERF=1");
    // In-process renders on the main thread only, unless the test runs the
    // host as a user does: the host's render manager would otherwise take
    // most missing frames before the pool is ready.
    if (!host_renders_async_) env.push_back("VELOCINTA_ASYNC=0");
    bool aerender_given = false;
    for (const std::string& e : env) aerender_given = aerender_given || e.rfind("VELOCINTA_AERENDER=", 0) == 0;
    if (!aerender_given) env.push_back(std::string("VELOCINTA_AERENDER=") + VEL_AERENDER_PATH);
    return run_child(VEL_NAMESPACE_WRAPPER, args, env, (root_ / "cwd").string(), 120);
  }

  // True: the host's render manager renders beside the pool, as with the
  // defaults.
  bool host_renders_async_ = false;

  std::filesystem::path log_path(const std::filesystem::path& base) {
    return base / "home" / "Library" / "Logs" / "velocinta.log";
  }
  std::filesystem::path log_path() { return log_path(root_); }
  std::string log() { return read_text(log_path()); }
  std::filesystem::path pool_dir() { return root_ / "tmp" / "velocinta_pool"; }
  std::vector<std::filesystem::path> job_dirs() {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(pool_dir(), ec))
      if (e.path().filename().string().rfind("job_", 0) == 0) out.push_back(e.path());
    return out;
  }
  json summary_in(const std::filesystem::path& base) {
    return json::parse(read_text(base / "out" / "summary.json"), nullptr, false);
  }
  json summary() { return summary_in(root_); }
  // The pool's threads still alive after the death hook.
  std::vector<std::string> pool_threads_left() {
    std::vector<std::string> left;
    const json s = summary();
    if (!s.is_object() || !s["threads_after_death"].is_array()) return {"no summary"};
    for (const auto& name : s["threads_after_death"]) {
      const std::string n = name.is_string() ? name.get<std::string>() : std::string();
      for (const char* prefix : {"vel-decode", "vel-memory", "vel-discovery"})
        if (n.rfind(prefix, 0) == 0) left.push_back(n);
    }
    return left;
  }

  static json command(int at, const char* name) { return {{"at_ms", at}, {"action", "command"}, {"name", name}}; }
  // The panel open and the pool toggled on.
  static json pool_on_events() {
    return json::array({command(50, "Velocinta"), command(100, "velocinta: pool (toggle)")});
  }
  // The user makes "velocinta-memory-v1" in the host's Output Module
  // Templates dialog, as the pool's template check asks of a user who wants
  // memory output: the format is offered once the plug-in registered its
  // module in the host process.
  static json make_memory_template(int at = 0) {
    return {{"at_ms", at},
            {"action", "output_module_template"},
            {"name", "velocinta-memory-v1"},
            {"format", "Velocinta Memory 8bpc"},
            {"channels", "RGB + Alpha"},
            {"depth", "Millions of Colors+"},
            {"color", "Straight (Unmatted)"}};
  }
  // An event that waits until the plug-in's log holds `text` `count` times.
  json when_logged(const std::string& text, int count, json event) {
    event["when"] = {{"file", log_path().string()}, {"has", text}, {"count", count}};
    return event;
  }
  // An event that waits until the pool folder holds no job folder.
  json when_no_job_folder(json event) {
    event["when"] = {{"folder", pool_dir().string()}, {"no_entry", "job_"}};
    return event;
  }

  ScratchDir scratch_{"vel-pool-e2e"};
  std::filesystem::path root_ = scratch_.path();
  std::filesystem::path project_ = root_ / "project.aep";
};

}  // namespace vel::testing
