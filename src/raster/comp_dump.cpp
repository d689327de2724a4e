#include "raster/comp_dump.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "core/log.h"
#include "core/paths.h"
#include "host/item_calls.h"
#include "host/suite_hold.h"
#include "raster/introspect_comp.h"
#include "raster/pretty_json.h"

namespace vel {
namespace {

void write_value(PrettyJson& j, double v) { j.real(v); }
void write_value(PrettyJson& j, const Vec2& v) {
  j.begin_array();
  j.real(v.x);
  j.real(v.y);
  j.end_array();
}

void write_ease(PrettyJson& j, const char* key, const std::optional<TemporalEase>& e) {
  if (!e) return;
  j.key(key);
  j.begin_object();
  j.key("speed");
  j.real(e->speed);
  j.key("influence");
  j.real(e->influence);
  j.end_object();
}

template <class T>
void write_animated(PrettyJson& j, const AnimatedValue<T>& a) {
  j.begin_object();
  if (const auto* s = a.as_static()) {
    j.key("static");
    write_value(j, s->value);
  } else {
    j.key("keyframes");
    j.begin_array();
    for (const Keyframe<T>& k : *a.as_keys()) {
      j.begin_object();
      j.key("t");
      j.real(k.t);
      j.key("v");
      write_value(j, k.v);
      j.key("interp");
      j.string(interpolation_name(k.interp));
      write_ease(j, "ease_in", k.ease_in);
      write_ease(j, "ease_out", k.ease_out);
      j.end_object();
    }
    j.end_array();
  }
  j.end_object();
}

void write_rgb(PrettyJson& j, const Rgb& c) {
  j.begin_array();
  for (float v : c) j.real(v);
  j.end_array();
}

void write_texts(PrettyJson& j, const std::vector<std::string>& texts) {
  j.begin_array();
  for (const std::string& t : texts) j.string(t);
  j.end_array();
}

void write_source(PrettyJson& j, const LayerSource& source) {
  j.begin_object();
  j.key("type");
  if (const auto* f = std::get_if<FootageSource>(&source)) {
    j.string("footage");
    j.key("path");
    j.string(f->path);
  } else if (const auto* c = std::get_if<CompSource>(&source)) {
    j.string("comp");
    j.key("comp_name");
    j.string(c->comp_name);
  } else if (const auto* s = std::get_if<SolidSource>(&source)) {
    j.string("solid");
    j.key("color");
    write_rgb(j, s->color);
    j.key("width");
    j.unsigned_int(s->width);
    j.key("height");
    j.unsigned_int(s->height);
  } else {
    j.string("unsupported");
    j.key("desc");
    j.string(std::get<UnsupportedSource>(source).desc);
  }
  j.end_object();
}

void write_mask(PrettyJson& j, const MaskModel& m) {
  j.begin_object();
  j.key("name");
  j.string(m.name);
  j.key("mode");
  j.string(mask_mode_name(m.mode));
  j.key("inverted");
  j.boolean(m.inverted);
  j.key("opacity");
  write_animated(j, m.opacity);
  j.key("feather");
  write_animated(j, m.feather);
  j.key("expansion");
  write_animated(j, m.expansion);
  j.key("path_captured");
  j.boolean(m.path_captured);
  j.end_object();
}

void write_layer(PrettyJson& j, const LayerModel& l) {
  j.begin_object();
  j.key("index");
  j.unsigned_int(l.index);
  j.key("name");
  j.string(l.name);
  j.key("kind");
  j.string(layer_kind_name(l.kind));
  if (l.source) {
    j.key("source");
    write_source(j, *l.source);
  }
  j.key("in_point");
  j.real(l.in_point);
  j.key("out_point");
  j.real(l.out_point);
  j.key("start_time");
  j.real(l.start_time);
  j.key("enabled");
  j.boolean(l.enabled);
  j.key("three_d");
  j.boolean(l.three_d);
  j.key("blend_mode");
  j.string(l.blend_mode);
  j.key("track_matte");
  if (l.track_matte) {
    j.begin_object();
    j.key("mode");
    j.string(track_matte_name(l.track_matte->mode));
    j.key("layer_index");
    j.unsigned_int(l.track_matte->layer_index);
    j.end_object();
  } else {
    j.null();
  }
  j.key("transform");
  j.begin_object();
  j.key("anchor");
  write_animated(j, l.transform.anchor);
  j.key("position");
  write_animated(j, l.transform.position);
  j.key("scale");
  write_animated(j, l.transform.scale);
  j.key("rotation");
  write_animated(j, l.transform.rotation);
  j.key("opacity");
  write_animated(j, l.transform.opacity);
  j.end_object();
  j.key("masks");
  j.begin_array();
  for (const MaskModel& m : l.masks) write_mask(j, m);
  j.end_array();
  j.key("effects");
  j.begin_array();
  for (const EffectModel& e : l.effects) {
    j.begin_object();
    j.key("match_name");
    j.string(e.match_name);
    j.key("enabled");
    j.boolean(e.enabled);
    j.key("params_captured");
    j.boolean(e.params_captured);
    j.end_object();
  }
  j.end_array();
  j.key("unsupported");
  write_texts(j, l.unsupported);
  j.end_object();
}

}  // namespace

Result<std::string> comp_dump_text(const CompModel& model) {
  PrettyJson j;
  j.begin_object();
  j.key("schema_version");
  j.unsigned_int(0);
  j.key("comp");
  j.begin_object();
  j.key("name");
  j.string(model.name);
  j.key("width");
  j.unsigned_int(model.width);
  j.key("height");
  j.unsigned_int(model.height);
  j.key("frame_rate");
  j.real(model.frame_rate);
  j.key("duration");
  j.real(model.duration);
  j.key("bg_color");
  write_rgb(j, model.bg_color);
  j.key("layers");
  j.begin_array();
  for (const LayerModel& l : model.layers) write_layer(j, l);
  j.end_array();
  j.key("unsupported");
  write_texts(j, model.unsupported);
  j.end_object();
  j.end_object();
  if (!j.valid()) return err("invalid UTF-8 in a string");
  return j.text();
}

Result<std::filesystem::path> dump_comp_into(PluginId plugin_id, const std::optional<std::filesystem::path>& log_dir) {
  const std::string p = "dump comp: ";
  std::optional<ItemH> active;
  {
    auto items = SuiteHold::acquire(HostSuite::Item);
    if (!items) return err(p + "suite Item: " + to_string(items.error()));
    auto item = active_item();
    if (!item) return err(p + "active_item: " + to_string(item.error()));
    active = item.value();
  }
  if (!active) return err(p + "pas d'item actif (sélectionner une comp)");
  auto model = introspect_comp(plugin_id, *active);
  if (!model) return err(p + model.error());
  auto text = comp_dump_text(model.value());
  if (!text) return err(p + "sérialisation échouée: " + text.error());
  if (!log_dir || log_dir->empty()) return err(p + "répertoire de logs introuvable");
  const std::filesystem::path path = *log_dir / "velocinta_comp_dump.json";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return err(p + "écriture échouée: " + std::strerror(errno));
  out << text.value();
  out.flush();
  if (!out) return err(p + "écriture échouée: " + std::strerror(errno));
  return path;
}

void dump_comp(PluginId plugin_id) {
  std::optional<std::filesystem::path> dir;
  if (auto log = log_file_path(); log && log->has_parent_path()) dir = log->parent_path();
  if (auto r = dump_comp_into(plugin_id, dir); !r) log_line("ERROR", r.error());
}

}  // namespace vel
