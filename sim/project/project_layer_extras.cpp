#include "project/project_layer_extras.h"

#include <cstdint>

#include "hostsdk/layer_suite.h"
#include "project/project_json.h"

namespace sim {
namespace {

using nlohmann::json;

// Every defined switch but the two the file gives as "enabled" and "three_d".
constexpr std::pair<int32_t, const char*> kSwitches[] = {
    {AEGP_LayerFlag_AUDIO_ACTIVE, "audio_active"},
    {AEGP_LayerFlag_EFFECTS_ACTIVE, "effects_active"},
    {AEGP_LayerFlag_MOTION_BLUR, "motion_blur"},
    {AEGP_LayerFlag_FRAME_BLENDING, "frame_blending"},
    {AEGP_LayerFlag_LOCKED, "locked"},
    {AEGP_LayerFlag_SHY, "shy"},
    {AEGP_LayerFlag_COLLAPSE, "collapse"},
    {AEGP_LayerFlag_AUTO_ORIENT_ROTATION, "auto_orient"},
    {AEGP_LayerFlag_ADJUSTMENT_LAYER, "adjustment"},
    {AEGP_LayerFlag_TIME_REMAPPING, "time_remapping"},
    {AEGP_LayerFlag_LOOK_AT_CAMERA, "look_at_camera"},
    {AEGP_LayerFlag_LOOK_AT_POI, "look_at_poi"},
    {AEGP_LayerFlag_SOLO, "solo"},
    {AEGP_LayerFlag_MARKERS_LOCKED, "markers_locked"},
    {AEGP_LayerFlag_NULL_LAYER, "null"},
    {AEGP_LayerFlag_HIDE_LOCKED_MASKS, "hide_locked_masks"},
    {AEGP_LayerFlag_GUIDE_LAYER, "guide"},
    {AEGP_LayerFlag_ADVANCED_FRAME_BLENDING, "advanced_frame_blending"},
    {AEGP_LayerFlag_SUBLAYERS_RENDER_SEPARATELY, "sublayers_render_separately"},
    {AEGP_LayerFlag_ENVIRONMENT_LAYER, "environment"},
};

constexpr const char* kObjectTypes[] = {"av", "light", "camera", "text", "shape", "model_3d"};
constexpr const char* kMattes[] = {"none", "alpha", "alpha_inverted", "luma", "luma_inverted"};
constexpr size_t kMaxEffects = 1024;
constexpr size_t kMaxGroups = 1024;
constexpr uint32_t kMaxMasks = 1024;

// A name from `names` (its index) or any integer; none on a bad value.
template <size_t N>
std::optional<int32_t> name_or_number(const json& v, const char* const (&names)[N]) {
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > INT32_MAX) return std::nullopt;
    int64_t i = v.get<int64_t>();
    if (i < INT32_MIN || i > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(i);
  }
  if (!v.is_string()) return std::nullopt;
  for (size_t i = 0; i < N; ++i) {
    if (v.get<std::string>() == names[i]) return static_cast<int32_t>(i);
  }
  return std::nullopt;
}

std::optional<FileFault> read_footage(const json& v, const std::string& at, Footage& f) {
  if (!v.is_object()) return FileFault{at, "expected an object"};
  auto name = v.find("name");
  if (name == v.end() || !name->is_string()) return FileFault{at + ".name", "expected a string"};
  f.name = name->get<std::string>();
  for (auto [key, side] : {std::pair{"width", &f.width}, std::pair{"height", &f.height}}) {
    auto it = v.find(key);
    if (it == v.end()) continue;
    if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > kMaxCompSide) {
      return FileFault{at + "." + key, "out of range 1 .. " + std::to_string(kMaxCompSide)};
    }
    *side = static_cast<int32_t>(it->get<int64_t>());
  }
  if (auto it = v.find("missing"); it != v.end()) {
    if (!it->is_boolean()) return FileFault{at + ".missing", "expected true or false"};
    f.missing = it->get<bool>();
  }
  return std::nullopt;
}

std::optional<FileFault> read_effects(const json& v, const std::string& at, std::vector<Effect>& out) {
  if (!v.is_array() || v.size() > kMaxEffects) return FileFault{at, "expected an array of at most 1024 effects"};
  for (size_t i = 0; i < v.size(); ++i) {
    const std::string e_at = at + "[" + std::to_string(i) + "]";
    const json& e = v[i];
    auto name = e.is_object() ? e.find("match_name") : e.end();
    if (!e.is_object() || name == e.end() || !name->is_string()) return FileFault{e_at + ".match_name", "expected a string"};
    Effect fx{name->get<std::string>(), true};
    if (auto a = e.find("active"); a != e.end()) {
      if (!a->is_boolean()) return FileFault{e_at + ".active", "expected true or false"};
      fx.active = a->get<bool>();
    }
    out.push_back(std::move(fx));
  }
  return std::nullopt;
}

}  // namespace

const char* switch_name(int32_t bit) {
  for (const auto& [b, name] : kSwitches) {
    if (b == bit) return name;
  }
  return nullptr;
}

std::optional<FileFault> read_layer_extras(const json& v, const std::string& where, Layer& l) {
  if (!v.is_object()) return std::nullopt;  // the caller reports it
  if (auto it = v.find("type"); it != v.end()) {
    auto t = name_or_number(*it, kObjectTypes);
    if (!t) return FileFault{where + ".type", "expected a layer type or a number"};
    l.object_type = *t;
  }
  if (auto it = v.find("switches"); it != v.end()) {
    if (!it->is_array()) return FileFault{where + ".switches", "expected an array of names"};
    for (size_t i = 0; i < it->size(); ++i) {
      const json& s = (*it)[i];
      int32_t bit = 0;
      for (const auto& [b, name] : kSwitches) {
        if (s.is_string() && s.get<std::string>() == name) bit = b;
      }
      if (!bit) return FileFault{where + ".switches[" + std::to_string(i) + "]", "unknown switch"};
      l.switches |= bit;
    }
  }
  if (auto it = v.find("parent"); it != v.end()) {
    if (!it->is_number_unsigned() || it->get<uint64_t>() >= kMaxLayers) {
      return FileFault{where + ".parent", "expected a layer position"};
    }
    l.parent = static_cast<uint32_t>(it->get<uint64_t>());
  }
  if (auto it = v.find("track_matte"); it != v.end()) {
    auto m = name_or_number(*it, kMattes);
    if (!m) return FileFault{where + ".track_matte", "expected a matte name or a number"};
    l.track_matte = *m;
  }
  if (auto it = v.find("transfer_flags"); it != v.end()) {
    if (!it->is_number_integer() || it->get<int64_t>() < 0 || it->get<int64_t>() > INT32_MAX) {
      return FileFault{where + ".transfer_flags", "expected a non-negative integer"};
    }
    l.transfer_flags = static_cast<int32_t>(it->get<int64_t>());
  }
  if (auto it = v.find("masks"); it != v.end()) {
    if (!it->is_number_unsigned() || it->get<uint64_t>() > kMaxMasks) return FileFault{where + ".masks", "expected a mask count"};
    l.mask_count = static_cast<uint32_t>(it->get<uint64_t>());
  }
  if (auto it = v.find("effects"); it != v.end()) {
    if (auto f = read_effects(*it, where + ".effects", l.effects)) return f;
  }
  if (auto it = v.find("footage"); it != v.end()) {
    l.footage.emplace();
    if (auto f = read_footage(*it, where + ".footage", *l.footage)) return f;
  }
  if (auto it = v.find("comp"); it != v.end()) {
    if (!it->is_string()) return FileFault{where + ".comp", "expected a composition name"};
    l.source_comp = it->get<std::string>();
  }
  if (auto it = v.find("modified_groups"); it != v.end()) {
    if (!it->is_array() || it->size() > kMaxGroups) return FileFault{where + ".modified_groups", "expected an array of names"};
    for (const json& g : *it) {
      if (!g.is_string()) return FileFault{where + ".modified_groups", "expected an array of names"};
      l.modified_groups.push_back(g.get<std::string>());
    }
  }
  const int sources = (l.solid ? 1 : 0) + (l.footage ? 1 : 0) + (l.source_comp ? 1 : 0);
  if (sources > 1) return FileFault{where, "at most one of \"solid\", \"footage\" and \"comp\""};
  if (sources > 0 && l.object_type != 0) return FileFault{where + ".type", "only an audio/video layer has a source"};
  return std::nullopt;
}

std::optional<FileFault> check_layer_references(const Project& p) {
  for (size_t c = 0; c < p.comps.size(); ++c) {
    const auto& layers = p.comps[c].layers;
    for (size_t i = 0; i < layers.size(); ++i) {
      const std::string at = "compositions[" + std::to_string(c) + "].layers[" + std::to_string(i) + "]";
      const Layer& l = layers[i];
      if (l.parent && (*l.parent >= layers.size() || *l.parent == i)) {
        return FileFault{at + ".parent", "expected the position of another layer"};
      }
      if (l.source_comp) {
        bool found = false;
        for (const Composition& other : p.comps) found = found || other.name == *l.source_comp;
        if (!found) return FileFault{at + ".comp", "no composition named \"" + *l.source_comp + "\""};
      }
    }
  }
  return std::nullopt;
}

void write_layer_extras(const Layer& l, json& o) {
  if (l.object_type != 0) {
    if (l.object_type > 0 && l.object_type < 6) o["type"] = kObjectTypes[l.object_type];
    else o["type"] = l.object_type;
  }
  if (l.switches) {
    json names = json::array();
    for (const auto& [bit, name] : kSwitches) {
      if (l.switches & bit) names.push_back(name);
    }
    o["switches"] = std::move(names);
  }
  if (l.parent) o["parent"] = *l.parent;
  if (l.track_matte != 0) {
    if (l.track_matte > 0 && l.track_matte < 5) o["track_matte"] = kMattes[l.track_matte];
    else o["track_matte"] = l.track_matte;
  }
  if (l.transfer_flags) o["transfer_flags"] = l.transfer_flags;
  if (l.mask_count) o["masks"] = l.mask_count;
  if (!l.effects.empty()) {
    json fx = json::array();
    for (const Effect& e : l.effects) fx.push_back({{"match_name", e.match_name}, {"active", e.active}});
    o["effects"] = std::move(fx);
  }
  if (l.footage) {
    json f = {{"name", l.footage->name}, {"missing", l.footage->missing}};
    if (l.footage->width > 0) f["width"] = l.footage->width;  // 0: no size given
    if (l.footage->height > 0) f["height"] = l.footage->height;
    o["footage"] = std::move(f);
  }
  if (l.source_comp) o["comp"] = *l.source_comp;
  if (!l.modified_groups.empty()) o["modified_groups"] = l.modified_groups;
}

}  // namespace sim
