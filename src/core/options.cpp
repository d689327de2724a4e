#include "core/options.h"

#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <system_error>

#include "core/bounded_read.h"
#include "core/file_replace.h"
#include "core/log.h"
#include "core/paths.h"

namespace vel {

PanelOptions& panel_options() {
  static PanelOptions& o = *new PanelOptions;
  return o;
}

std::string encode_persisted_options(const PersistedOptions& o) {
  nlohmann::ordered_json j;
  j["quality"] = o.quality;
  j["speed"] = o.speed;
  j["autosave"] = o.autosave;
  j["depth"] = o.depth;
  return j.dump();
}

std::optional<PersistedOptions> decode_persisted_options(std::string_view text) {
  nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!j.is_object()) return std::nullopt;
  PersistedOptions o;
  auto read_index = [&](const char* key, uint64_t& out, uint64_t max) {
    auto it = j.find(key);
    if (it == j.end()) return true;
    if (!it->is_number_unsigned() && !(it->is_number_integer() && it->get<int64_t>() >= 0)) return false;
    out = std::min<uint64_t>(it->get<uint64_t>(), max);
    return true;
  };
  if (!read_index("quality", o.quality, 3) || !read_index("speed", o.speed, 3)) return std::nullopt;
  if (auto it = j.find("autosave"); it != j.end()) {
    if (!it->is_boolean()) return std::nullopt;
    o.autosave = it->get<bool>();
  }
  if (auto it = j.find("depth"); it != j.end()) {
    if (!it->is_number_unsigned()) return std::nullopt;
    uint64_t d = it->get<uint64_t>();
    o.depth = (d == 16 || d == 32) ? d : 8;
  }
  return o;
}

std::optional<std::filesystem::path> options_file_path() {
  auto dir = app_support_dir();
  if (!dir) return std::nullopt;
  return *dir / "panel_options.json";
}

PersistedOptions load_persisted_options(const std::filesystem::path& file, uint64_t max_speed_index) {
  Result<std::string, FileReadError> text = read_text_limited(file, kOptionsFileLimit);
  if (!text) {
    if (text.error().kind != FileRefusal::Missing) {
      log_line("ERROR", "options: fichier refusé, réglages par défaut : " + text.error().text);
    }
    return {};
  }
  std::optional<PersistedOptions> o = decode_persisted_options(*text);
  if (!o) {
    log_line("ERROR", "options: fichier illisible, réglages par défaut : " + file.string());
    return {};
  }
  o->speed = std::min(o->speed, max_speed_index);
  return *o;
}

bool save_persisted_options(const std::filesystem::path& file, const PersistedOptions& o) {
  return replace_file(file, encode_persisted_options(o)).ok();
}

PersistedOptions snapshot_panel_options() {
  PanelOptions& p = panel_options();
  return {p.quality.load(), p.speed.load(), p.autosave.load(), p.depth.load()};
}

void apply_persisted_options(const PersistedOptions& o) {
  PanelOptions& p = panel_options();
  p.quality.store(o.quality);
  p.speed.store(o.speed);
  p.autosave.store(o.autosave);
  p.depth.store(o.depth);
}

}  // namespace vel
