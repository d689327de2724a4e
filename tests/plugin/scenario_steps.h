// Steps of the stand-in host's scenarios, a run of one, and the work-area
// lines the plug-in logs, shared by the end-to-end tests that click, press
// keys and set marks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "vel_build_paths.h"

namespace vel::testing {

// A scenario event: `action` with its `fields`, when `when` holds (a
// condition of the scenario's form), or at once when it is null.
inline nlohmann::json event(const nlohmann::json& when, const std::string& action,
                            nlohmann::json fields = nlohmann::json::object()) {
  fields["action"] = action;
  if (when.is_null()) {
    fields["at_ms"] = 0;
  } else {
    fields["when"] = when;
  }
  return fields;
}
inline nlohmann::json now(const std::string& action, nlohmann::json fields = nlohmann::json::object()) {
  return event(nullptr, action, std::move(fields));
}
inline nlohmann::json after_frames(int n) { return {{"frames", n}}; }

// The picture of a gesture (a click, a drag) once it settled. The CPU path
// may put up the frame it prepared for the playback in the very idle call
// that takes the gesture up, and shows the frame asked for in a later one:
// the frames counted are those after a key the panel ignores, pressed in the
// turn after that call (a wait in time would race a worker that wakes the
// host at once: the frame asked for could land before the key). The Metal
// worker draws the frame asked for after the draws in flight, which the
// stand-in GPU holds until they end: the first frame after the input, then a
// quiet round.
inline nlohmann::json settled_picture(bool no_gpu, const std::string& png) {
  nlohmann::json out = nlohmann::json::array();
  if (no_gpu) out.push_back(event({{"idle_rounds", 1}}, "key", {{"chars", "x"}}));
  out.push_back(event(after_frames(1), "wait"));
  out.push_back(event("picture_presented", "screenshot", {{"path", png}}));
  return out;
}

// Runs simhost on `project` with `events` in `home` (its temporary folder
// inside), its output and screenshots in `out`, the plug-in's figures on;
// the summary, every event of the scenario done. Without a summary the run
// `name` fails and the answer is an empty one.
inline nlohmann::json run_scenario(const std::string& name, const std::filesystem::path& home,
                                   const std::filesystem::path& out, const std::filesystem::path& project,
                                   const nlohmann::json& events, bool no_gpu, const char* seconds = "100") {
  using nlohmann::json;
  std::filesystem::create_directories(out);
  std::filesystem::create_directories(home / "tmp");
  std::ofstream(out / "scenario.json") << json{{"events", events}}.dump();
  std::vector<std::string> args = {"--plugin",  VEL_PLUGIN_PATH, "--project", project.string(),
                                   "--seconds", seconds,         "--out",     out.string(),
                                   "--scenario", (out / "scenario.json").string()};
  if (no_gpu) args.push_back("--no-gpu");
  const std::vector<std::string> env = {"HOME=" + home.string(), "TMPDIR=" + (home / "tmp").string(),
                                        "VELOCINTA_PERF=1"};
  auto r = run_child(VEL_SIMHOST_PATH, args, env, out.string(), 130);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  json s = json::parse(read_text(out / "summary.json"), nullptr, false);
  if (!s.is_object()) {
    ADD_FAILURE() << name << ": no summary: " << r.output;
    return json::object({{"marks", json::array()}, {"panel", json::object()}});
  }
  EXPECT_TRUE(s.at("scenario_failures").empty()) << s.at("scenario_failures").dump();
  return s;
}

// The frames of the "workarea: IN a → OUT b" lines of a log.
inline std::vector<std::pair<int64_t, int64_t>> work_area_lines(const std::string& log) {
  std::vector<std::pair<int64_t, int64_t>> out;
  const std::regex re("workarea: IN ([0-9]+) \xE2\x86\x92 OUT ([0-9]+)");
  for (std::sregex_iterator it(log.begin(), log.end(), re), end; it != end; ++it) {
    out.emplace_back(std::stoll((*it)[1]), std::stoll((*it)[2]));
  }
  return out;
}

}  // namespace vel::testing
