// A scenario's opening paused before the first picture, for runs that click
// or count frames from a play of their own.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vel::testing {

// The pause as soon as the composition is taken up (the plug-in's log at
// `log` says when), then the one picture that follows. No
// clock runs and no draw of a playback is under way until the scenario plays
// or clicks: paused while playing, the frame the playback was drawing may
// reach the screen after a click, and frames missed meanwhile are counted.
inline nlohmann::json pause_before_first_picture(const std::string& log) {
  using nlohmann::json;
  return json::array({json{{"when", {{"file", log}, {"has", "PERF: PREVIEW_SCAN"}}}, {"action", "pause"}},
                      json{{"when", {{"frames_total", 1}}}, {"action", "wait"}}});
}

}  // namespace vel::testing
