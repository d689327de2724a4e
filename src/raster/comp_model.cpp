#include "raster/comp_model.h"

#include <cstdio>

#include "raster/number_text.h"

namespace vel {

const char* layer_kind_name(LayerKind kind) {
  switch (kind) {
    case LayerKind::Av: return "av";
    case LayerKind::Camera: return "camera";
    case LayerKind::Light: return "light";
    case LayerKind::Shape: return "shape";
    case LayerKind::Text: return "text";
    case LayerKind::Adjustment: return "adjustment";
    case LayerKind::Null: return "null";
    case LayerKind::Unknown: return "unknown";
  }
  return "unknown";
}

const char* track_matte_name(TrackMatteMode mode) {
  switch (mode) {
    case TrackMatteMode::Alpha: return "alpha";
    case TrackMatteMode::AlphaInverted: return "alpha_inverted";
    case TrackMatteMode::Luma: return "luma";
    case TrackMatteMode::LumaInverted: return "luma_inverted";
  }
  return "alpha";
}

const char* mask_mode_name(MaskMode mode) {
  switch (mode) {
    case MaskMode::None: return "none";
    case MaskMode::Add: return "add";
    case MaskMode::Subtract: return "subtract";
    case MaskMode::Intersect: return "intersect";
    case MaskMode::Lighten: return "lighten";
    case MaskMode::Darken: return "darken";
    case MaskMode::Difference: return "difference";
  }
  return "none";
}

const char* interpolation_name(Interpolation interp) {
  switch (interp) {
    case Interpolation::Linear: return "linear";
    case Interpolation::Bezier: return "bezier";
    case Interpolation::Hold: return "hold";
  }
  return "linear";
}

std::string blend_mode_name(int32_t mode) {
  // Modes 12 and 26 are both the host's "difference" (the older and the
  // newer formula); kernels are chosen by name, so both draw alike.
  static constexpr const char* kNames[39] = {
      "copy",          "behind",           "normal",          "dissolve",           "add",
      "multiply",      "screen",           "overlay",         "soft_light",         "hard_light",
      "darken",        "lighten",          "difference",      "hue",                "saturation",
      "color",         "luminosity",       "stencil_alpha",   "stencil_luma",       "silhouette_alpha",
      "silhouette_luma", "luminescent_premul", "alpha_add",   "classic_color_dodge", "classic_color_burn",
      "exclusion",     "difference",       "color_dodge",     "color_burn",         "linear_dodge",
      "linear_burn",   "linear_light",     "vivid_light",     "pin_light",          "hard_mix",
      "lighter_color", "darker_color",     "subtract",        "divide"};
  if (mode >= 0 && mode < 39) return kNames[mode];
  return "xfer_" + std::to_string(mode);
}

std::string debug_text(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string layer_source_debug(const LayerSource& source) {
  if (const auto* f = std::get_if<FootageSource>(&source)) return "Footage { path: " + debug_text(f->path) + " }";
  if (const auto* c = std::get_if<CompSource>(&source)) return "Comp { comp_name: " + debug_text(c->comp_name) + " }";
  if (const auto* s = std::get_if<SolidSource>(&source)) {
    return "Solid { color: [" + debug_real(s->color[0]) + ", " + debug_real(s->color[1]) + ", " +
           debug_real(s->color[2]) + "], width: " + std::to_string(s->width) +
           ", height: " + std::to_string(s->height) + " }";
  }
  return "Unsupported { desc: " + debug_text(std::get<UnsupportedSource>(source).desc) + " }";
}

}  // namespace vel
