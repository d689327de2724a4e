#include "raster/comp_dump.h"

#include "core/file_replace.h"
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
  j.real("speed", e->speed);
  j.real("influence", e->influence);
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
      j.real("t", k.t);
      j.key("v");
      write_value(j, k.v);
      j.string("interp", interpolation_name(k.interp));
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
    j.string("path", f->path);
  } else if (const auto* c = std::get_if<CompSource>(&source)) {
    j.string("comp");
    j.string("comp_name", c->comp_name);
  } else if (const auto* s = std::get_if<SolidSource>(&source)) {
    j.string("solid");
    j.key("color");
    write_rgb(j, s->color);
    j.unsigned_int("width", s->width);
    j.unsigned_int("height", s->height);
  } else {
    j.string("unsupported");
    j.string("desc", std::get<UnsupportedSource>(source).desc);
  }
  j.end_object();
}

void write_mask(PrettyJson& j, const MaskModel& m) {
  j.begin_object();
  j.string("name", m.name);
  j.string("mode", mask_mode_name(m.mode));
  j.boolean("inverted", m.inverted);
  j.key("opacity");
  write_animated(j, m.opacity);
  j.key("feather");
  write_animated(j, m.feather);
  j.key("expansion");
  write_animated(j, m.expansion);
  j.boolean("path_captured", m.path_captured);
  j.end_object();
}

void write_layer(PrettyJson& j, const LayerModel& l) {
  j.begin_object();
  j.unsigned_int("index", l.index);
  j.string("name", l.name);
  j.string("kind", layer_kind_name(l.kind));
  if (l.source) {
    j.key("source");
    write_source(j, *l.source);
  }
  j.real("in_point", l.in_point);
  j.real("out_point", l.out_point);
  j.real("start_time", l.start_time);
  j.boolean("enabled", l.enabled);
  j.boolean("three_d", l.three_d);
  j.string("blend_mode", l.blend_mode);
  j.key("track_matte");
  if (l.track_matte) {
    j.begin_object();
    j.string("mode", track_matte_name(l.track_matte->mode));
    j.unsigned_int("layer_index", l.track_matte->layer_index);
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
    j.string("match_name", e.match_name);
    j.boolean("enabled", e.enabled);
    j.boolean("params_captured", e.params_captured);
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
  j.unsigned_int("schema_version", 0);
  j.key("comp");
  j.begin_object();
  j.string("name", model.name);
  j.unsigned_int("width", model.width);
  j.unsigned_int("height", model.height);
  j.real("frame_rate", model.frame_rate);
  j.real("duration", model.duration);
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
  // The log's folder exists while the log is open; the dump never makes one.
  std::error_code ec;
  if (!std::filesystem::is_directory(*log_dir, ec)) return err(p + "écriture échouée: " + log_dir->string() + " absent");
  if (auto st = replace_file(path, std::string_view(text.value())); !st) return err(p + "écriture échouée: " + st.error());
  return path;
}

void dump_comp(PluginId plugin_id) {
  std::optional<std::filesystem::path> dir;
  if (auto log = log_file_path(); log && log->has_parent_path()) dir = log->parent_path();
  if (auto r = dump_comp_into(plugin_id, dir); !r) log_line("ERROR", r.error());
}

}  // namespace vel
