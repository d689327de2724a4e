#include "project/project_model.h"

#include <iterator>

namespace sim {
namespace {

// Indexed by the host's transfer-mode number.
constexpr const char* kModeNames[] = {
    "copy",           "behind",           "normal",            "dissolve",
    "add",            "multiply",         "screen",            "overlay",
    "soft_light",     "hard_light",       "darken",            "lighten",
    "difference",     "hue",              "saturation",        "color",
    "luminosity",     "stencil_alpha",    "stencil_luma",      "silhouette_alpha",
    "silhouette_luma", "luminescent_premul", "alpha_add",      "classic_color_dodge",
    "classic_color_burn", "exclusion",    "difference",        "color_dodge",
    "color_burn",     "linear_dodge",     "linear_burn",       "linear_light",
    "vivid_light",    "pin_light",        "hard_mix",          "lighter_color",
    "darker_color",   "subtract",         "divide",
};

}  // namespace

const char* transfer_mode_name(int32_t mode) {
  if (mode < 0 || mode >= static_cast<int32_t>(std::size(kModeNames))) return nullptr;
  return kModeNames[mode];
}

// "difference" names two modes; the first (12) is the one files mean.
std::optional<int32_t> transfer_mode_from_name(const std::string& name) {
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(kModeNames)); ++i) {
    if (name == kModeNames[i]) return i;
  }
  return std::nullopt;
}

}  // namespace sim
