#include "raster/raster_eligibility.h"

#include <algorithm>

#include "raster/blend_kernels.h"

namespace vel {
namespace {

// A bezier side must come with its ease, or the model cannot tell how the
// host shapes that end of the segment. An ease of no influence is no answer
// either: the host reports a side it holds no ease for as flat and
// uninfluenced, which reads the same as a real ease of no influence, and the
// host draws the two differently.
bool side_resolved(const std::optional<TemporalEase>& ease) { return ease && ease->influence > 0; }

template <class T>
bool has_unresolved_bezier(const AnimatedValue<T>& value) {
  const auto* keys = value.as_keys();
  if (!keys) return false;
  return std::any_of(keys->begin(), keys->end(), [](const Keyframe<T>& k) {
    if (k.interp == Interpolation::Bezier && (!k.ease_in || !k.ease_out)) return true;
    if (in_side(k) == Interpolation::Bezier && !side_resolved(k.ease_in)) return true;
    return out_side(k) == Interpolation::Bezier && !side_resolved(k.ease_out);
  });
}

bool transform_has_unresolved_bezier(const LayerTransform& tr) {
  return has_unresolved_bezier(tr.anchor) || has_unresolved_bezier(tr.position) ||
         has_unresolved_bezier(tr.scale) || has_unresolved_bezier(tr.rotation) ||
         has_unresolved_bezier(tr.opacity);
}

void erase_all(std::vector<std::string>& list, const char* text) {
  list.erase(std::remove(list.begin(), list.end(), text), list.end());
}

}  // namespace

std::string debug_text_list(const std::vector<std::string>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out += ", ";
    out += debug_text(list[i]);
  }
  return out + "]";
}

std::string format_layer_rejection(const LayerModel& layer, const std::string& reason) {
  return "calque " + std::to_string(layer.index) + " « " + layer.name + " » : " + reason;
}

std::optional<std::string> layer_rejection_reason(const LayerModel& layer) {
  auto reject = [&](const std::string& reason) { return format_layer_rejection(layer, reason); };
  if (layer.three_d) return reject("3D");
  if (layer.kind != LayerKind::Av) return reject("kind non-AV");
  if (!layer.source) return reject("source None");
  if (!std::holds_alternative<SolidSource>(*layer.source)) {
    return reject("source Some(" + layer_source_debug(*layer.source) + ")");
  }
  if (!blend_for_name(layer.blend_mode)) return reject("blend « " + layer.blend_mode + " »");
  if (layer.track_matte) return reject("track matte");
  if (!layer.masks.empty()) return reject("masques");
  if (std::any_of(layer.effects.begin(), layer.effects.end(), [](const EffectModel& e) { return e.enabled; })) {
    return reject("effets actifs");
  }
  if (!layer.unsupported.empty()) return reject("unsupported " + debug_text_list(layer.unsupported));
  return std::nullopt;
}

std::optional<std::string> scene_rejection_reason(const CompModel& comp) {
  if (comp.width == 0 || comp.height == 0) return "empty composition dimensions";
  if (!comp.unsupported.empty()) return "composition: " + debug_text_list(comp.unsupported);
  for (const LayerModel& layer : comp.layers) {
    if (!layer.enabled || !(layer.out_point > layer.in_point)) continue;
    if (auto reason = layer_rejection_reason(layer)) return reason;
    const auto* solid = layer.source ? std::get_if<SolidSource>(&*layer.source) : nullptr;
    if (solid && (solid->width == 0 || solid->height == 0)) {
      return "layer " + std::to_string(layer.index) + ": unknown solid dimensions";
    }
    if (transform_has_unresolved_bezier(layer.transform)) {
      return "layer " + std::to_string(layer.index) + ": unresolved Bezier interpolation";
    }
  }
  return std::nullopt;
}

Result<CompModel> raster_candidate(CompModel comp) {
  erase_all(comp.unsupported, "motion_blur_settings");
  erase_all(comp.unsupported, "markers");
  for (LayerModel& layer : comp.layers) erase_all(layer.unsupported, "motion_blur");
  if (auto reason = scene_rejection_reason(comp)) return err(*reason);
  return comp;
}

std::string raster_out_of_scope_text(const std::string& reason) { return "hors périmètre raster v0: " + reason; }

const char* invalid_animation_error() { return "invalid animation values or keyframe order"; }

}  // namespace vel
