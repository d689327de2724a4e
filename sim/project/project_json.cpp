#include "project/project_json.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "project/project_layer_extras.h"

namespace sim {
namespace {

using nlohmann::json;

// Walks a document, remembering where it is so that the first fault can be
// told with its place ("compositions[0].layers[2].solid.color: ...").
class Reader {
 public:
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  void fault(const std::string& where, const std::string& what) {
    if (error_.empty()) error_ = where + ": " + what;
  }

  const json* member(const json& obj, const std::string& where, const char* key, bool required) {
    if (!obj.is_object()) {
      fault(where, "expected an object");
      return nullptr;
    }
    auto it = obj.find(key);
    if (it == obj.end()) {
      if (required) fault(where, std::string("missing \"") + key + "\"");
      return nullptr;
    }
    return &*it;
  }

  double number(const json& v, const std::string& where) {
    if (!v.is_number()) {
      fault(where, "expected a number");
      return 0.0;
    }
    double d = v.get<double>();
    if (!std::isfinite(d)) fault(where, "not a finite number");
    return d;
  }

  int64_t integer(const json& v, const std::string& where, int64_t lo, int64_t hi) {
    if (!v.is_number_integer()) {
      fault(where, "expected an integer");
      return lo;
    }
    int64_t i = v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
                    ? INT64_MAX
                    : v.get<int64_t>();
    if (i < lo || i > hi) {
      fault(where, "out of range " + std::to_string(lo) + " .. " + std::to_string(hi));
      return lo;
    }
    return i;
  }

  std::string text(const json& v, const std::string& where) {
    if (!v.is_string()) {
      fault(where, "expected a string");
      return {};
    }
    return v.get<std::string>();
  }

  bool boolean(const json& v, const std::string& where) {
    if (!v.is_boolean()) {
      fault(where, "expected true or false");
      return false;
    }
    return v.get<bool>();
  }

  // [value, scale], scale above 0.
  HostTime time(const json& v, const std::string& where) {
    if (!v.is_array() || v.size() != 2) {
      fault(where, "expected a time [value, scale]");
      return {};
    }
    HostTime t;
    t.value = static_cast<int32_t>(integer(v[0], where + "[0]", INT32_MIN, INT32_MAX));
    t.scale = static_cast<uint32_t>(integer(v[1], where + "[1]", 1, UINT32_MAX));
    return t;
  }

  std::array<double, 3> color(const json& v, const std::string& where) {
    std::array<double, 3> c{};
    if (!v.is_array() || v.size() != 3) {
      fault(where, "expected [red, green, blue]");
      return c;
    }
    for (size_t i = 0; i < 3; ++i) c[i] = number(v[i], where + "[" + std::to_string(i) + "]");
    return c;
  }

  // A number (one-component property) or an array of 2 or 3 numbers; a
  // missing z keeps the property's neutral z.
  Vec3 value(const json& v, const std::string& where, uint8_t dims, double neutral_z) {
    Vec3 out{0, 0, neutral_z};
    if (dims == 1) {
      out = {number(v, where), 0, 0};
      return out;
    }
    if (!v.is_array() || v.size() < 2 || v.size() > 3) {
      fault(where, "expected [x, y] or [x, y, z]");
      return out;
    }
    for (size_t i = 0; i < v.size(); ++i) out[i] = number(v[i], where + "[" + std::to_string(i) + "]");
    return out;
  }

  Interp interp(const json& v, const std::string& where) {
    std::string s = text(v, where);
    if (s == "linear") return Interp::linear;
    if (s == "bezier") return Interp::bezier;
    if (s == "hold") return Interp::hold;
    fault(where, "expected \"linear\", \"bezier\" or \"hold\"");
    return Interp::linear;
  }

  std::optional<Ease> ease(const json& obj, const std::string& where, const char* key) {
    const json* e = member(obj, where, key, false);
    if (!e) return std::nullopt;
    std::string at = where + "." + key;
    Ease out;
    if (const json* s = member(*e, at, "speed", true)) out.speed = number(*s, at + ".speed");
    if (const json* i = member(*e, at, "influence", true)) out.influence = number(*i, at + ".influence");
    return out;
  }

  Property property(const json& v, const std::string& where, Property p) {
    const double neutral_z = p.fixed[2];
    if (!v.is_object()) {
      p.fixed = value(v, where, p.dims, neutral_z);
      return p;
    }
    // The object form: keyframes or one value, and what only introspection
    // reads (an expression, separated dimensions).
    if (!read_property_extras(v, where, p)) return p;
    if (v.find("keyframes") == v.end()) {
      if (const json* val = member(v, where, "value", true)) p.fixed = value(*val, where + ".value", p.dims, neutral_z);
      return p;
    }
    const json* keys = member(v, where, "keyframes", true);
    if (!keys) return p;
    std::string at = where + ".keyframes";
    if (!keys->is_array() || keys->empty()) {
      fault(at, "expected a non-empty array");
      return p;
    }
    if (keys->size() > kMaxKeyframes) {
      fault(at, "more than " + std::to_string(kMaxKeyframes) + " keyframes");
      return p;
    }
    for (size_t i = 0; i < keys->size() && !failed(); ++i) {
      const json& k = (*keys)[i];
      std::string kat = at + "[" + std::to_string(i) + "]";
      Keyframe key;
      if (const json* t = member(k, kat, "time", true)) key.time = time(*t, kat + ".time");
      if (const json* val = member(k, kat, "value", true)) key.value = value(*val, kat + ".value", p.dims, neutral_z);
      Interp both = Interp::linear;
      if (const json* in = member(k, kat, "interp", false)) both = interp(*in, kat + ".interp");
      key.in_interp = key.out_interp = both;
      if (const json* in = member(k, kat, "in_interp", false)) key.in_interp = interp(*in, kat + ".in_interp");
      if (const json* out = member(k, kat, "out_interp", false)) key.out_interp = interp(*out, kat + ".out_interp");
      key.ease_in = ease(k, kat, "ease_in");
      key.ease_out = ease(k, kat, "ease_out");
      if (!p.keys.empty() && !(p.keys.back().time.seconds() < key.time.seconds())) {
        fault(kat + ".time", "keyframe times must increase");
      }
      p.keys.push_back(key);
    }
    return p;
  }

  bool read_property_extras(const json& v, const std::string& where, Property& p) {
    if (const json* e = member(v, where, "expression", false)) p.expression = text(*e, where + ".expression");
    if (const json* e = member(v, where, "expression_enabled", false)) {
      p.expression_enabled = boolean(*e, where + ".expression_enabled");
    }
    if (const json* s = member(v, where, "separated", false)) p.separated = boolean(*s, where + ".separated");
    return !failed();
  }

 private:
  std::string error_;
};

Solid read_solid(Reader& r, const json& v, const std::string& where, const Composition& comp) {
  Solid s;
  s.width = comp.width;
  s.height = comp.height;
  if (const json* n = r.member(v, where, "name", false)) s.name = r.text(*n, where + ".name");
  if (const json* c = r.member(v, where, "color", true)) {
    s.color = r.color(*c, where + ".color");
  }
  if (const json* w = r.member(v, where, "width", false)) {
    s.width = static_cast<int32_t>(r.integer(*w, where + ".width", 1, kMaxCompSide));
  }
  if (const json* h = r.member(v, where, "height", false)) {
    s.height = static_cast<int32_t>(r.integer(*h, where + ".height", 1, kMaxCompSide));
  }
  return s;
}

Layer read_layer(Reader& r, const json& v, const std::string& where, const Composition& comp) {
  Layer l;
  l.duration = comp.duration;
  l.in_point = HostTime{0, comp.duration.scale};
  l.offset = HostTime{0, comp.duration.scale};
  if (const json* n = r.member(v, where, "name", true)) l.name = r.text(*n, where + ".name");
  if (const json* e = r.member(v, where, "enabled", false)) l.enabled = r.boolean(*e, where + ".enabled");
  if (const json* d = r.member(v, where, "three_d", false)) l.three_d = r.boolean(*d, where + ".three_d");
  if (const json* b = r.member(v, where, "blend_mode", false)) {
    if (b->is_number_integer()) {
      // Any number: a mode this host does not know draws as normal.
      l.transfer_mode = static_cast<int32_t>(r.integer(*b, where + ".blend_mode", INT32_MIN, INT32_MAX));
    } else {
      auto mode = transfer_mode_from_name(r.text(*b, where + ".blend_mode"));
      if (mode) l.transfer_mode = *mode;
      else r.fault(where + ".blend_mode", "unknown blend mode");
    }
  }
  if (const json* t = r.member(v, where, "in_point", false)) l.in_point = r.time(*t, where + ".in_point");
  if (const json* t = r.member(v, where, "duration", false)) l.duration = r.time(*t, where + ".duration");
  if (const json* t = r.member(v, where, "offset", false)) l.offset = r.time(*t, where + ".offset");
  if (l.duration.value < 0) r.fault(where + ".duration", "negative");
  if (const json* s = r.member(v, where, "solid", false)) l.solid = read_solid(r, *s, where + ".solid", comp);
  if (auto f = read_layer_extras(v, where, l)) r.fault(f->where, f->what);

  // A new solid layer sits centred: anchor at the solid's middle, position at
  // the composition's middle.
  if (l.solid) l.transform.anchor.fixed = {l.solid->width / 2.0, l.solid->height / 2.0, 0};
  l.transform.position.fixed = {comp.width / 2.0, comp.height / 2.0, 0};
  if (const json* t = r.member(v, where, "transform", false)) {
    std::string at = where + ".transform";
    if (!t->is_object()) r.fault(at, "expected an object");
    struct Slot {
      const char* key;
      Property* prop;
    } slots[] = {{"anchor", &l.transform.anchor},
                 {"position", &l.transform.position},
                 {"scale", &l.transform.scale},
                 {"rotation", &l.transform.rotation},
                 {"opacity", &l.transform.opacity}};
    for (auto& s : slots) {
      if (const json* p = r.member(*t, at, s.key, false)) *s.prop = r.property(*p, at + "." + s.key, *s.prop);
    }
  }
  return l;
}

Composition read_comp(Reader& r, const json& v, const std::string& where) {
  Composition c;
  if (const json* n = r.member(v, where, "name", true)) c.name = r.text(*n, where + ".name");
  if (const json* w = r.member(v, where, "width", true)) c.width = static_cast<int32_t>(r.integer(*w, where + ".width", 1, kMaxCompSide));
  if (const json* h = r.member(v, where, "height", true)) c.height = static_cast<int32_t>(r.integer(*h, where + ".height", 1, kMaxCompSide));
  if (const json* f = r.member(v, where, "frame_duration", true)) c.frame_duration = r.time(*f, where + ".frame_duration");
  if (const json* d = r.member(v, where, "duration", true)) c.duration = r.time(*d, where + ".duration");
  if (r.failed()) return c;
  if (c.frame_duration.value <= 0) r.fault(where + ".frame_duration", "must be above 0");
  if (c.duration.value <= 0) r.fault(where + ".duration", "must be above 0");
  c.work_area_start = HostTime{0, c.duration.scale};
  c.work_area_duration = c.duration;
  if (const json* wa = r.member(v, where, "work_area", false)) {
    std::string at = where + ".work_area";
    if (const json* s = r.member(*wa, at, "start", true)) c.work_area_start = r.time(*s, at + ".start");
    if (const json* d = r.member(*wa, at, "duration", true)) c.work_area_duration = r.time(*d, at + ".duration");
    double start = c.work_area_start.seconds();
    double end = start + c.work_area_duration.seconds();
    if (!r.failed() && (start < 0 || c.work_area_duration.value <= 0 || end > c.duration.seconds() + 1e-9)) {
      r.fault(at, "must lie inside the composition and not be empty");
    }
  }
  c.current_time = HostTime{0, c.duration.scale};
  if (const json* t = r.member(v, where, "current_time", false)) {
    c.current_time = r.time(*t, where + ".current_time");
    double s = c.current_time.seconds();
    if (!r.failed() && (s < 0 || s > c.duration.seconds())) r.fault(where + ".current_time", "outside the composition");
  }
  if (const json* b = r.member(v, where, "bg_color", false)) c.bg_color = r.color(*b, where + ".bg_color");
  if (const json* k = r.member(v, where, "render_cost_ms", false)) {
    c.render_cost_ms = static_cast<uint32_t>(r.integer(*k, where + ".render_cost_ms", 0, kMaxRenderCostMs));
  }
  const json* layers = r.member(v, where, "layers", false);
  if (layers) {
    std::string at = where + ".layers";
    if (!layers->is_array()) {
      r.fault(at, "expected an array");
    } else if (layers->size() > kMaxLayers) {
      r.fault(at, "more than " + std::to_string(kMaxLayers) + " layers");
    } else {
      for (size_t i = 0; i < layers->size() && !r.failed(); ++i) {
        c.layers.push_back(read_layer(r, (*layers)[i], at + "[" + std::to_string(i) + "]", c));
      }
    }
  }
  return c;
}

json time_json(HostTime t) { return json::array({t.value, t.scale}); }

json value_json(const Vec3& v, uint8_t dims) {
  if (dims == 1) return v[0];
  return json::array({v[0], v[1], v[2]});
}

const char* interp_name(Interp i) {
  switch (i) {
    case Interp::bezier: return "bezier";
    case Interp::hold: return "hold";
    default: return "linear";
  }
}

json property_extras_json(const Property& p, json o) {
  if (!p.expression.empty()) o["expression"] = p.expression;
  if (!p.expression_enabled) o["expression_enabled"] = false;
  if (p.separated) o["separated"] = true;
  return o;
}

json property_json(const Property& p) {
  const bool plain = p.expression.empty() && p.expression_enabled && !p.separated;
  if (p.keys.empty()) {
    if (plain) return value_json(p.fixed, p.dims);
    return property_extras_json(p, {{"value", value_json(p.fixed, p.dims)}});
  }
  json keys = json::array();
  for (const Keyframe& k : p.keys) {
    json o = {{"time", time_json(k.time)}, {"value", value_json(k.value, p.dims)}};
    if (k.in_interp == k.out_interp) {
      o["interp"] = interp_name(k.in_interp);
    } else {
      o["in_interp"] = interp_name(k.in_interp);
      o["out_interp"] = interp_name(k.out_interp);
    }
    if (k.ease_in) o["ease_in"] = {{"speed", k.ease_in->speed}, {"influence", k.ease_in->influence}};
    if (k.ease_out) o["ease_out"] = {{"speed", k.ease_out->speed}, {"influence", k.ease_out->influence}};
    keys.push_back(std::move(o));
  }
  return property_extras_json(p, {{"keyframes", std::move(keys)}});
}

json layer_json(const Layer& l) {
  json o = {{"name", l.name},
            {"enabled", l.enabled},
            {"three_d", l.three_d},
            {"in_point", time_json(l.in_point)},
            {"duration", time_json(l.duration)},
            {"offset", time_json(l.offset)}};
  // Mode 26 shares its name with 12; write the number so it reads back as 26.
  const char* mode = transfer_mode_name(l.transfer_mode);
  if (mode && transfer_mode_from_name(mode) == l.transfer_mode) o["blend_mode"] = mode;
  else o["blend_mode"] = l.transfer_mode;
  if (l.solid) {
    o["solid"] = {{"name", l.solid->name},
                  {"color", l.solid->color},
                  {"width", l.solid->width},
                  {"height", l.solid->height}};
  }
  o["transform"] = {{"anchor", property_json(l.transform.anchor)},
                    {"position", property_json(l.transform.position)},
                    {"scale", property_json(l.transform.scale)},
                    {"rotation", property_json(l.transform.rotation)},
                    {"opacity", property_json(l.transform.opacity)}};
  write_layer_extras(l, o);
  return o;
}

}  // namespace

Result<Project> project_from_json(const json& doc) {
  Reader r;
  Project p;
  const json* comps = r.member(doc, "project", "compositions", true);
  if (comps) {
    if (!comps->is_array()) r.fault("compositions", "expected an array");
    else if (comps->size() > kMaxComps) r.fault("compositions", "too many compositions");
    else {
      for (size_t i = 0; i < comps->size() && !r.failed(); ++i) {
        std::string where = "compositions[" + std::to_string(i) + "]";
        p.comps.push_back(read_comp(r, (*comps)[i], where));
        // The active composition is named in the file, so names must be unique.
        for (size_t k = 0; k + 1 < p.comps.size() && !r.failed(); ++k) {
          if (p.comps[k].name == p.comps.back().name) r.fault(where + ".name", "duplicate composition name");
        }
      }
    }
  }
  if (const json* a = r.member(doc, "project", "active_comp", false); a && !r.failed()) {
    if (!a->is_null()) {
      std::string name = r.text(*a, "active_comp");
      for (size_t i = 0; i < p.comps.size(); ++i) {
        if (p.comps[i].name == name) {
          p.active_comp = i;
          break;
        }
      }
      if (!r.failed() && !p.active_comp) r.fault("active_comp", "no composition named \"" + name + "\"");
    }
  }
  if (!r.failed()) {
    if (auto f = check_layer_references(p)) r.fault(f->where, f->what);
  }
  if (r.failed()) return fail(r.error());
  return p;
}

json project_to_json(const Project& project) {
  json comps = json::array();
  for (const Composition& c : project.comps) {
    json layers = json::array();
    for (const Layer& l : c.layers) layers.push_back(layer_json(l));
    comps.push_back({{"name", c.name},
                     {"width", c.width},
                     {"height", c.height},
                     {"frame_duration", time_json(c.frame_duration)},
                     {"duration", time_json(c.duration)},
                     {"work_area", {{"start", time_json(c.work_area_start)},
                                    {"duration", time_json(c.work_area_duration)}}},
                     {"current_time", time_json(c.current_time)},
                     {"bg_color", c.bg_color},
                     {"render_cost_ms", c.render_cost_ms},
                     {"layers", std::move(layers)}});
  }
  json doc = {{"compositions", std::move(comps)}};
  doc["active_comp"] = project.active_comp ? json(project.comps[*project.active_comp].name) : json(nullptr);
  return doc;
}

Result<Project> parse_project_text(const std::string& text) {
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return fail("project: not valid JSON");
  return project_from_json(doc);
}

Result<Project> load_project_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("project " + path + ": cannot open");
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  if (size < 0) return fail("project " + path + ": cannot read");
  if (static_cast<uint64_t>(size) > kMaxProjectFileBytes) return fail("project " + path + ": file too large");
  in.seekg(0);
  std::string text(static_cast<size_t>(size), '\0');
  if (!in.read(text.data(), size)) return fail("project " + path + ": cannot read");
  Result<Project> p = parse_project_text(text);
  if (!p) return fail("project " + path + ": " + p.error());
  return p;
}

Status save_project_file(const Project& project, const std::string& path) {
  std::string tmp = path + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return fail("save " + path + ": cannot create " + tmp);
    out << project_to_json(project).dump(2) << '\n';
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return fail("save " + path + ": write failed");
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return fail("save " + path + ": rename failed");
  }
  return done();
}

}  // namespace sim
