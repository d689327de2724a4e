// A cheap composition whose every frame differs and whose picture tells
// where in it the frame lies: 320 × 180, rendered at no cost, a dark ground,
// a white bar whose centre crosses from the left edge at frame 0 to the
// right edge at the end, and a square in the top corner turning 7° a frame.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vel::testing {

inline nlohmann::json turning_bar_project(const std::string& comp_name, int frames, int fps) {
  using nlohmann::json;
  const json spinner = {
      {"name", "Turns"},
      {"solid", {{"name", "Red Solid 1"}, {"color", {0.8, 0.2, 0.2}}, {"width", 40}, {"height", 40}}},
      {"transform",
       {{"position", {40, 40}},
        {"rotation",
         {{"keyframes",
           {{{"time", {0, fps}}, {"value", 0}, {"interp", "linear"}},
            {{"time", {frames, fps}}, {"value", 7.0 * frames}, {"interp", "linear"}}}}}}}}};
  const json bar = {
      {"name", "Where"},
      {"solid", {{"name", "White Solid 1"}, {"color", {1, 1, 1}}, {"width", 8}, {"height", 180}}},
      {"transform",
       {{"position",
         {{"keyframes",
           {{{"time", {0, fps}}, {"value", {0, 90}}, {"interp", "linear"}},
            {{"time", {frames, fps}}, {"value", {320, 90}}, {"interp", "linear"}}}}}}}}};
  const json ground = {{"name", "Ground"}, {"solid", {{"name", "Dark Solid 1"}, {"color", {0.2, 0.2, 0.25}}}}};
  return {{"active_comp", comp_name},
          {"compositions",
           {{{"name", comp_name},
             {"width", 320},
             {"height", 180},
             {"frame_duration", {1, fps}},
             {"duration", {frames, fps}},
             {"render_cost_ms", 0},
             {"layers", {bar, spinner, ground}}}}}};
}

}  // namespace vel::testing
