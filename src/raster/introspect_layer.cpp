// One layer of the composition, read field by field: each step adds its
// texts to the layer's `unsupported` list in the order of the steps.
#include <algorithm>
#include <limits>

#include "host/effect_calls.h"
#include "host/footage_calls.h"
#include "host/item_calls.h"
#include "host/layer_calls.h"
#include "host/stream_calls.h"
#include "host/suite_hold.h"
#include "raster/introspect_comp.h"
#include "raster/layer_stream.h"

namespace vel {
namespace {

constexpr int32_t kDefinedFlags = 0x3FFFFF;
constexpr int32_t kFlagVideoActive = 0x1;
constexpr int32_t kFlagAdjustment = 0x200;
constexpr int32_t kFlagTimeRemapping = 0x400;
constexpr int32_t kFlag3d = 0x800;
constexpr int32_t kFlagNull = 0x10000;
constexpr int32_t kObjectModel3d = 5;
constexpr size_t kMaxScannedGroups = 64;

using Texts = std::vector<std::string>;

// A footage item: a solid when the host says so and gives its colour, else
// footage known by its name only.
LayerSource read_footage(ItemH item, const std::string& name, Texts& unsupported) {
  if (auto footage_suite = SuiteHold::acquire(HostSuite::Footage)) {
    if (auto footage = main_footage_from_item(item)) {
      if (footage_signature(footage.value()) == FootageSignature::Solid) {
        if (auto color = solid_footage_color(item, false)) {
          SolidSource solid;
          solid.color = {static_cast<float>(color->red), static_cast<float>(color->green),
                         static_cast<float>(color->blue)};
          if (auto dims = item_dimensions(item)) {
            solid.width = static_cast<uint32_t>(std::max(dims->width, 0));
            solid.height = static_cast<uint32_t>(std::max(dims->height, 0));
          }
          return solid;
        }
      }
    }
  }
  unsupported.push_back("footage_path");
  return FootageSource{name};
}

std::optional<LayerSource> layer_source(PluginId plugin_id, LayerH layer, Texts& unsupported) {
  auto items = SuiteHold::acquire(HostSuite::Item);
  if (!items) return std::nullopt;
  auto item_or_none = layer_source_item(layer);
  if (!item_or_none || !item_or_none.value()) return std::nullopt;
  const ItemH item = *item_or_none.value();
  auto named = item_name(item, plugin_id);
  std::string name = named ? std::move(named).value() : std::string("<sans nom>");
  auto type = item_type(item);
  if (!type) return std::nullopt;
  switch (type.value()) {
    case ItemType::Comp: return CompSource{name};
    case ItemType::Footage: return read_footage(item, name, unsupported);
    default: return UnsupportedSource{"item_type(" + std::to_string(static_cast<int32_t>(type.value())) + "): " + name};
  }
}

LayerKind kind_of(int32_t object_type, int32_t flags, Texts& unsupported) {
  switch (object_type) {
    case 0:
      if (flags & kFlagAdjustment) return LayerKind::Adjustment;
      if (flags & kFlagNull) return LayerKind::Null;
      return LayerKind::Av;
    case 1: return LayerKind::Light;
    case 2: return LayerKind::Camera;
    case 3: return LayerKind::Text;
    case 4: return LayerKind::Shape;
    default: unsupported.push_back("object_type(" + std::to_string(object_type) + ")"); return LayerKind::Unknown;
  }
}

void read_times(LayerH layer, LayerModel& m) {
  auto timed = [&](Result<HostTime, AeError> r, const char* field) {
    if (r) return host_seconds(r.value());
    m.unsupported.push_back(field_error(std::string(field) + ": " + to_string(r.error())));
    return 0.0;
  };
  auto in = layer_in_point(layer);
  auto duration = layer_duration(layer);
  m.in_point = timed(in, "in_point");
  const double duration_seconds = timed(duration, "duration");
  m.start_time = timed(layer_offset(layer), "start_time");
  m.out_point = m.in_point + duration_seconds;
  // Summed as host times and divided once, so the out point is the nearest
  // double to the host's exact end: a frame time at the end then compares as
  // the host compares it, and the layer is gone on its out-point frame.
  if (in && duration) {
    if (auto exact = host_time_sum_seconds(in.value(), duration.value())) m.out_point = *exact;
  }
}

void read_transfer_mode(LayerH layer, LayerModel& m) {
  auto t = layer_transfer_mode(layer);
  if (!t) {
    m.unsupported.push_back(field_error("transfer_mode: " + to_string(t.error())));
    m.blend_mode = "unknown";
    return;
  }
  if (t->flags != 0) m.unsupported.push_back("transfer_flags(" + std::to_string(t->flags) + ")");
  if (t->track_matte >= 1 && t->track_matte <= 4) {
    const auto mode = static_cast<TrackMatteMode>(t->track_matte - 1);
    m.unsupported.push_back(std::string("track_matte_layer_index(") + track_matte_name(mode) + ")");
  } else if (t->track_matte != 0) {
    m.unsupported.push_back("track_matte_layer_index(unknown_mode)");
  }
  m.blend_mode = blend_mode_name(t->mode);
}

void read_effects(PluginId plugin_id, LayerH layer, LayerModel& m) {
  auto suite = SuiteHold::acquire(HostSuite::Effect);
  if (!suite) {
    m.unsupported.push_back(field_error("effects: suite " + to_string(suite.error())));
    return;
  }
  auto count = layer_num_effects(layer);
  if (!count) {
    m.unsupported.push_back(field_error("effects: num " + to_string(count.error())));
    return;
  }
  for (int32_t i = 0; i < count.value(); ++i) {
    const std::string at = "[" + std::to_string(i) + "]";
    auto ref = layer_effect_by_index(plugin_id, layer, i);
    if (!ref) {
      m.unsupported.push_back(field_error("effects" + at + ": " + to_string(ref.error())));
      continue;
    }
    EffectModel e;
    auto key = effect_installed_key(ref.value());
    auto match = key ? effect_match_name(key.value()) : Result<std::string, AeError>(Err{key.error()});
    e.match_name = match ? std::move(match).value() : "<match_name: " + to_string(match.error()) + ">";
    auto flags = effect_flags(ref.value());
    e.enabled = flags && (flags.value() & 0x1) != 0;
    m.effects.push_back(std::move(e));
    if (auto st = dispose_effect(ref.value()); !st) {
      m.unsupported.push_back(field_error("effects: dispose" + at + " " + to_string(st.error())));
    }
  }
}

// Whether a solid layer has a property group beyond the ones the model
// knows (markers, masks, effects, transform) that differs from its default.
Status<AeError> scan_layer_groups(PluginId plugin_id, LayerH layer, Texts& unsupported) {
  auto suite = SuiteHold::acquire(HostSuite::DynamicStream);
  if (!suite) return Err{suite.error()};
  auto root = layer_root_stream(plugin_id, layer);
  if (!root) return Err{root.error()};
  auto count = streams_in_group(root->get());
  if (!count) return Err{count.error()};
  if (count.value() > static_cast<int32_t>(kMaxScannedGroups)) {
    unsupported.push_back("additional_layer_properties");
    return ok_unit();
  }
  for (int32_t i = 0; i < count.value(); ++i) {
    auto child = stream_child(plugin_id, root->get(), i);
    if (!child) return Err{child.error()};
    auto match = stream_match_name(child->get());
    if (!match) return Err{match.error()};
    const std::string& mn = match.value();
    if (mn == "ADBE Marker" || mn == "ADBE Mask Parade" || mn == "ADBE Effect Parade" || mn == "ADBE Transform Group") {
      continue;
    }
    auto modified = stream_is_modified(child->get());
    if (!modified) return Err{modified.error()};
    if (modified.value()) {
      unsupported.push_back("additional_layer_properties");
      break;
    }
  }
  return ok_unit();
}

void read_masks(LayerH layer, Texts& unsupported) {
  auto suite = SuiteHold::acquire(HostSuite::LayerMask);
  if (!suite) {
    unsupported.push_back(field_error("masks: " + to_string(suite.error())));
    return;
  }
  auto count = layer_num_masks(layer);
  if (!count) {
    unsupported.push_back(field_error("masks: " + to_string(count.error())));
  } else if (count.value() != 0) {
    unsupported.push_back("masks(" + std::to_string(count.value()) + ")");
  }
}

}  // namespace

LayerModel introspect_layer(PluginId plugin_id, LayerH layer, uint32_t position) {
  LayerModel m;
  Texts& u = m.unsupported;

  if (auto names = layer_names(layer, plugin_id)) {
    m.name = names->own.empty() ? names->source : names->own;
  } else {
    u.push_back(field_error("name: " + to_string(names.error())));
    m.name = "<layer " + std::to_string(position) + ">";
  }

  int32_t flags = 0;
  if (auto f = layer_flags(layer)) {
    flags = f.value() & kDefinedFlags;
  } else {
    u.push_back(field_error("flags: " + to_string(f.error())));
  }

  if (auto parent = layer_parent(layer); !parent) {
    u.push_back(field_error("parent: " + to_string(parent.error())));
  } else if (parent.value()) {
    u.push_back("parented");
  }

  static constexpr std::pair<int32_t, const char*> kFlagTexts[] = {
      {0x8, "motion_blur"}, {0x400, "time_remapping"}, {0x100, "auto_orient"}, {0x4000, "solo"},
      {0x40000, "guide_layer"}, {0x10, "frame_blending"}, {0x80, "collapse_transformations"}};
  for (const auto& [bit, text] : kFlagTexts) {
    if (flags & bit) u.push_back(text);
  }

  std::optional<int32_t> object_type;
  if (!layer) {
    u.push_back(field_error("object_type"));
  } else if (auto t = layer_object_type(layer)) {
    object_type = t.value();
  } else {
    u.push_back(field_error("object_type"));
  }
  m.kind = object_type ? kind_of(*object_type, flags, u) : LayerKind::Unknown;

  m.source = layer_source(plugin_id, layer, u);
  read_times(layer, m);
  read_transfer_mode(layer, m);

  if (flags & kFlagTimeRemapping) u.push_back("time_remap");
  if (object_type == kObjectModel3d) {
    u.push_back("model_3d_layer");
    u.push_back("orientation_rotate_xy_z");
    m.three_d = true;
  } else if (flags & kFlag3d) {
    u.push_back("orientation_rotate_xy_z");
    m.three_d = true;
  }

  m.transform.anchor = capture_keyframed_vec2(plugin_id, layer, kStreamAnchor, "anchor", 0, u);
  m.transform.position = capture_keyframed_vec2(plugin_id, layer, kStreamPosition, "position", 0, u);
  m.transform.scale = capture_keyframed_vec2(plugin_id, layer, kStreamScale, "scale", 100, u);
  m.transform.rotation = capture_keyframed_scalar(plugin_id, layer, kStreamRotation, "rotation", u);
  m.transform.opacity = capture_keyframed_scalar(plugin_id, layer, kStreamOpacity, "opacity", u);

  read_effects(plugin_id, layer, m);
  if (m.source && std::holds_alternative<SolidSource>(*m.source)) {
    if (auto st = scan_layer_groups(plugin_id, layer, u); !st) {
      u.push_back(field_error("layer_groups: " + to_string(st.error())));
    }
  }
  read_masks(layer, u);

  m.index = position >= std::numeric_limits<uint32_t>::max() ? position : position + 1;
  m.enabled = (flags & kFlagVideoActive) != 0;
  return m;
}

}  // namespace vel
