// A white bar on top of a composition that moves 7 composition pixels per
// frame, so that a screenshot of the panel tells which frame is on screen.
#pragma once

#include <cairo.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

namespace vel::testing {

inline constexpr double kBarStart = 16.0;  // the bar's centre at frame 0, composition pixels
inline constexpr double kBarStep = 7.0;    // and its move per frame

// Puts the bar on top of `comp` (a composition of the project's JSON form,
// 1920 wide) for `frames` frames at 24 per second.
inline void add_frame_bar(nlohmann::json& comp, int frames) {
  using nlohmann::json;
  json bar = {{"name", "Frame bar"},
              {"solid", {{"name", "White Solid 1"}, {"color", {1, 1, 1}}, {"width", 12}, {"height", 1080}}},
              {"transform",
               {{"position",
                 {{"keyframes",
                   {{{"time", {0, 24}}, {"value", {kBarStart, 540}}, {"interp", "linear"}},
                    {{"time", {frames, 24}}, {"value", {kBarStart + kBarStep * frames, 540}},
                     {"interp", "linear"}}}}}}}}};
  comp["layers"].insert(comp["layers"].begin(), bar);
}

// Writes at `to` the project `sample` (the demo's sample: one composition of
// `frames` frames at 24 per second) with the bar on top and its renders made
// to cost `render_cost_ms`; false when the sample is not that.
inline bool write_sample_with_bar(const std::filesystem::path& sample, const std::filesystem::path& to, int frames,
                                  int render_cost_ms) {
  std::ifstream in(sample);
  nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (!doc.is_object()) return false;
  nlohmann::json& comp = doc["compositions"][0];
  if (comp["duration"] != nlohmann::json::array({frames, 24})) return false;
  comp["render_cost_ms"] = render_cost_ms;
  add_frame_bar(comp, frames);
  std::ofstream(to) << doc.dump();
  return true;
}

// Where a white bar stands in a screenshot: the composition x of its centre,
// from its columns on the picture's middle row (`picture_rect`, the
// summary's, in points at scale 1); none when no bar is found. The GPU path
// filters the picture between two mip levels, so a bar a few pixels wide may
// leave no column fully white, only neighbours that share it. A column whose
// darkest channel is below 80 is taken for the composition (its colours on
// that row all have a channel below that); above, it weighs by that channel
// less 40, about how much of the bar it holds.
inline std::optional<double> white_bar_on_screen(const std::filesystem::path& png, const nlohmann::json& picture_rect,
                                                 double comp_width) {
  constexpr uint32_t kGround = 40, kBar = 80;
  cairo_surface_t* s = cairo_image_surface_create_from_png(png.c_str());
  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> keep(s, &cairo_surface_destroy);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  const int width = cairo_image_surface_get_width(s);
  const int height = cairo_image_surface_get_height(s);
  const double rx = picture_rect.at(0).get<double>(), ry = picture_rect.at(1).get<double>();
  const double rw = picture_rect.at(2).get<double>(), rh = picture_rect.at(3).get<double>();
  const int y = static_cast<int>(ry + rh / 2);
  if (y < 0 || y >= height || rw <= 0) return std::nullopt;
  const unsigned char* row = cairo_image_surface_get_data(s) + static_cast<size_t>(y) * cairo_image_surface_get_stride(s);
  double sum = 0, weight = 0;
  for (int x = std::max(0, static_cast<int>(rx)); x < std::min(width, static_cast<int>(rx + rw)); ++x) {
    uint32_t v;
    std::memcpy(&v, row + static_cast<size_t>(x) * 4, 4);
    const uint32_t darkest = std::min({(v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff});
    if (darkest >= kBar) {
      sum += (x + 0.5) * (darkest - kGround);
      weight += darkest - kGround;
    }
  }
  if (weight == 0) return std::nullopt;
  return (sum / weight - rx) / rw * comp_width;
}

// Which frame a screenshot shows, from the bar of `add_frame_bar`.
inline std::optional<double> frame_on_screen(const std::filesystem::path& png, const nlohmann::json& picture_rect,
                                             double comp_width = 1920.0) {
  const std::optional<double> x = white_bar_on_screen(png, picture_rect, comp_width);
  if (!x) return std::nullopt;
  return (*x - kBarStart) / kBarStep;
}

}  // namespace vel::testing
