#include "scenario/scenario.h"

#include "ui/metal_events.h"
#include "ui/output_templates_dialog.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string_view>

namespace sim {
namespace {

using nlohmann::json;

struct KindName {
  EventKind kind;
  const char* name;
};
constexpr KindName kKinds[] = {{EventKind::command, "command"},
                               {EventKind::show_modal, "show_modal"},
                               {EventKind::close_modal, "close_modal"},
                               {EventKind::modal, "modal"},
                               {EventKind::edit, "edit"},
                               {EventKind::save, "save"},
                               {EventKind::activate, "activate"},
                               {EventKind::open_panel, "open_panel"},
                               {EventKind::show_panel, "show_panel"},
                               {EventKind::hide_panel, "hide_panel"},
                               {EventKind::resize_panel, "resize_panel"},
                               {EventKind::click, "click"},
                               {EventKind::drag, "drag"},
                               {EventKind::mouse_down, "mouse_down"},
                               {EventKind::mouse_drag, "mouse_drag"},
                               {EventKind::mouse_up, "mouse_up"},
                               {EventKind::key, "key"},
                               {EventKind::play, "play"},
                               {EventKind::pause, "pause"},
                               {EventKind::screenshot, "screenshot"},
                               {EventKind::metal, "metal"},
                               {EventKind::quit, "quit"},
                               {EventKind::wait, "wait"},
                               {EventKind::mark, "mark"},
                               {EventKind::output_module_template, "output_module_template"}};

struct FieldRule {
  const char* name;
  char type;  // 'n' number, 'b' bool, 's' string
};
constexpr FieldRule kPanelFields[] = {{"width", 'n'}, {"height", 'n'}, {"scale", 'n'}, {"x", 'n'},
                                      {"y", 'n'},     {"to_x", 'n'},   {"to_y", 'n'},  {"steps", 'n'},
                                      {"shift", 'b'}, {"chars", 's'},  {"path", 's'},  {"name", 's'}};

// The fields a panel event may carry, each of its type and, for numbers,
// finite and within ±100000.
Status check_panel_fields(const json& e, const std::string& where) {
  for (const FieldRule& r : kPanelFields) {
    auto it = e.find(r.name);
    if (it == e.end()) continue;
    const bool ok = r.type == 'n'   ? it->is_number() && std::abs(it->get<double>()) <= 100000.0
                    : r.type == 'b' ? it->is_boolean()
                                    : it->is_string();
    if (!ok) return fail(where + "." + r.name + ": bad value");
  }
  return done();
}

Result<std::string> text_member(const json& e, const char* key, const std::string& where, bool required) {
  auto it = e.find(key);
  if (it == e.end()) {
    if (required) return fail(where + ": missing \"" + key + "\"");
    return std::string();
  }
  if (!it->is_string()) return fail(where + "." + key + ": expected a string");
  return it->get<std::string>();
}

// A JSON pointer: empty, or "/" followed by tokens where "~" only starts
// "~0" or "~1".
bool valid_pointer(const std::string& p) {
  if (p.empty()) return true;
  if (p[0] != '/') return false;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == '~' && (i + 1 >= p.size() || (p[i + 1] != '0' && p[i + 1] != '1'))) return false;
  }
  return true;
}

// {"file": PATH, "has": TEXT[, "count": N][, "after": TEXT, "range_frames": N]},
// {"folder": PATH, "no_entry": PREFIX} or {"folder": PATH, "files": SUFFIX[,
// "count": N]}: what another program writes, such as a plug-in's log, the
// folders it makes and removes, or the files it stores.
Status read_file_when(const json& w, const std::string& where, ScenarioEvent& ev) {
  const auto text_of = [&w](const char* key) {
    auto it = w.find(key);
    return it != w.end() && it->is_string() ? std::optional<std::string>(it->get<std::string>()) : std::nullopt;
  };
  const std::optional<std::string> file = text_of("file"), has = text_of("has");
  const std::optional<std::string> folder = text_of("folder"), prefix = text_of("no_entry");
  const std::optional<std::string> suffix = text_of("files");
  const auto read_count = [&](ScenarioEvent& e) -> bool {
    auto count = w.find("count");
    if (count == w.end()) return true;
    if (!count->is_number_integer() || count->get<int64_t>() < 1 || count->get<int64_t>() > 100000) return false;
    e.when_count = static_cast<uint32_t>(count->get<int64_t>());
    return true;
  };
  if (file && has && !file->empty() && !has->empty() && !folder && !prefix && !suffix) {
    ev.when = WaitFor::file_text;
    ev.when_path = *file;
    ev.when_text = *has;
    if (!read_count(ev)) return fail(where + ".when.count: expected an integer 1 .. 100000");
    const std::optional<std::string> after = text_of("after");
    const auto span = w.find("range_frames");
    if (after.has_value() != (span != w.end()) || (after && after->empty()))
      return fail(where + ".when: \"after\" and \"range_frames\" go together");
    if (after) {
      if (!span->is_number_integer() || span->get<int64_t>() < 1 || span->get<int64_t>() > 100000)
        return fail(where + ".when.range_frames: expected an integer 1 .. 100000");
      ev.when_after = *after;
      ev.when_range_frames = static_cast<uint32_t>(span->get<int64_t>());
    }
    ev.when_source = "file " + *file + " has \"" + *has + "\" x" + std::to_string(ev.when_count);
    if (after) ev.when_source += " after \"" + *after + "\" over " + std::to_string(ev.when_range_frames) + " frames";
    return done();
  }
  // {"frames": N}, {"frames_total": N}, {"after_ms": N} or {"idle_rounds":
  // N}: what the panel showed, a pause, or the host's own turns.
  for (const auto& [key, kind] : {std::pair{"frames", WaitFor::frames}, std::pair{"frames_total", WaitFor::frames_total},
                                  std::pair{"after_ms", WaitFor::after_ms}, std::pair{"idle_rounds", WaitFor::idle_rounds}}) {
    auto n = w.find(key);
    if (n == w.end()) continue;
    if (w.size() != 1 || !n->is_number_integer() || n->get<int64_t>() < 1 || n->get<int64_t>() > 600000)
      return fail(where + ".when." + key + ": expected an integer 1 .. 600000, alone");
    ev.when = kind;
    ev.when_count = static_cast<uint32_t>(n->get<int64_t>());
    ev.when_source = std::string(key) + " " + std::to_string(ev.when_count);
    return done();
  }
  if (folder && suffix && !folder->empty() && !suffix->empty() && !prefix && !file && !has) {
    ev.when = WaitFor::files;
    ev.when_path = *folder;
    ev.when_text = *suffix;
    if (!read_count(ev)) return fail(where + ".when.count: expected an integer 1 .. 100000");
    ev.when_source = "folder " + *folder + " has \"…" + *suffix + "\" x" + std::to_string(ev.when_count);
    return done();
  }
  if (folder && prefix && !folder->empty() && !file && !has && !suffix) {
    ev.when = WaitFor::no_entry;
    ev.when_path = *folder;
    ev.when_text = *prefix;
    ev.when_source = "folder " + *folder + " has no entry \"" + *prefix + "…\"";
    return done();
  }
  return fail(where +
              ".when: expected {\"file\", \"has\"[, \"count\"]}, {\"folder\", \"no_entry\"}, {\"folder\", \"files\"[, "
              "\"count\"]}, {\"frames\"}, {\"frames_total\"}, "
              "{\"after_ms\"} or {\"idle_rounds\"}");
}

// "picture_presented", "link_opened", or "text:" or "no_text:" followed by
// the text's beginning (not empty); or a file condition (read_file_when).
Status read_when(const json& e, const std::string& where, ScenarioEvent& ev) {
  auto it = e.find("when");
  if (it == e.end()) return done();
  if (it->is_object()) return read_file_when(*it, where, ev);
  constexpr std::string_view kText = "text:", kNoText = "no_text:";
  const std::string w = it->is_string() ? it->get<std::string>() : std::string();
  if (w == "picture_presented") {
    ev.when = WaitFor::picture_presented;
  } else if (w == "link_opened") {
    ev.when = WaitFor::link_opened;
  } else if (w.size() > kText.size() && w.compare(0, kText.size(), kText) == 0) {
    ev.when = WaitFor::text;
    ev.when_text = w.substr(kText.size());
  } else if (w.size() > kNoText.size() && w.compare(0, kNoText.size(), kNoText) == 0) {
    ev.when = WaitFor::no_text;
    ev.when_text = w.substr(kNoText.size());
  } else {
    return fail(where +
                ".when: expected \"picture_presented\", \"link_opened\", \"text:\" or \"no_text:\" and a text, or a file "
                "condition");
  }
  ev.when_source = w;
  return done();
}

Result<ScenarioEvent> read_event(const json& e, const std::string& where) {
  if (!e.is_object()) return fail(where + ": expected an object");
  ScenarioEvent ev;
  Status when = read_when(e, where, ev);
  if (!when) return fail(when.error());
  auto at = e.find("at_ms");
  // A waiting event may leave its time out: it runs once its turn has come.
  if (at == e.end() && ev.when == WaitFor::nothing) return fail(where + ": missing \"at_ms\"");
  if (at != e.end() &&
      (!at->is_number_integer() || at->get<int64_t>() < 0 || at->get<int64_t>() > kMaxScenarioMs)) {
    return fail(where + ".at_ms: expected an integer 0 .. " + std::to_string(kMaxScenarioMs));
  }
  if (at != e.end()) ev.at_ms = static_cast<uint32_t>(at->get<int64_t>());
  Result<std::string> action = text_member(e, "action", where, true);
  if (!action) return fail(action.error());
  bool known = false;
  for (const KindName& k : kKinds) {
    if (action.value() == k.name) {
      ev.kind = k.kind;
      known = true;
    }
  }
  if (!known) return fail(where + ".action: unknown action \"" + action.value() + "\"");

  switch (ev.kind) {
    case EventKind::command:
    case EventKind::mark:
    case EventKind::activate: {
      Result<std::string> name = text_member(e, "name", where, true);
      if (!name) return fail(name.error());
      if (name.value().empty()) return fail(where + ".name: empty");
      ev.name = name.value();
      break;
    }
    case EventKind::edit: {
      Result<std::string> pointer = text_member(e, "pointer", where, true);
      if (!pointer) return fail(pointer.error());
      if (!valid_pointer(pointer.value())) return fail(where + ".pointer: not a JSON pointer");
      ev.pointer = pointer.value();
      auto value = e.find("value");
      if (value == e.end()) return fail(where + ": missing \"value\"");
      ev.value = *value;
      break;
    }
    case EventKind::save: {
      Result<std::string> path = text_member(e, "path", where, false);
      if (!path) return fail(path.error());
      ev.path = path.value();
      break;
    }
    case EventKind::modal: {
      auto ms = e.find("ms");
      if (ms == e.end() || !ms->is_number_integer() || ms->get<int64_t>() < 1 || ms->get<int64_t>() > 600000)
        return fail(where + ".ms: expected an integer 1 .. 600000");
      ev.value = *ms;
      break;
    }
    case EventKind::show_modal:
    case EventKind::close_modal:
    case EventKind::quit:
    case EventKind::wait:
      break;
    case EventKind::output_module_template: {
      Result<TemplateChoice> choice = template_choice_from_json(e);
      if (!choice) return fail(where + ": " + choice.error());
      ev.value = e;
      break;
    }
    case EventKind::metal: {
      Status fields = check_metal_event(e, where);
      if (!fields) return fail(fields.error());
      ev.value = e;
      break;
    }
    default: {
      Status fields = check_panel_fields(e, where);
      if (!fields) return fail(fields.error());
      ev.value = e;
      break;
    }
  }
  return ev;
}

}  // namespace

bool is_panel_event(EventKind kind) { return kind >= EventKind::open_panel && kind <= EventKind::screenshot; }

const char* event_kind_name(EventKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

Result<Scenario> scenario_from_json(const json& doc) {
  if (!doc.is_object()) return fail("scenario: expected an object");
  auto events = doc.find("events");
  if (events == doc.end()) return fail("scenario: missing \"events\"");
  if (!events->is_array()) return fail("scenario.events: expected an array");
  if (events->size() > kMaxScenarioEvents) return fail("scenario.events: too many events");
  Scenario s;
  for (size_t i = 0; i < events->size(); ++i) {
    Result<ScenarioEvent> ev = read_event((*events)[i], "scenario.events[" + std::to_string(i) + "]");
    if (!ev) return fail(ev.error());
    s.events.push_back(std::move(ev).value());
  }
  // Waiting makes file order matter: an event never runs before one written
  // above it that waits, so the time order applies between waits only.
  auto from = s.events.begin();
  for (auto it = s.events.begin(); it != s.events.end(); ++it) {
    if (it->when == WaitFor::nothing) continue;
    std::stable_sort(from, it, [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at_ms < b.at_ms; });
    from = it + 1;
  }
  std::stable_sort(from, s.events.end(),
                   [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at_ms < b.at_ms; });
  return s;
}

Result<Scenario> load_scenario_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("scenario " + path + ": cannot open");
  std::string text;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    text.append(buf, static_cast<size_t>(in.gcount()));
    if (text.size() > (16u << 20)) return fail("scenario " + path + ": file too large");
  }
  json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (doc.is_discarded()) return fail("scenario " + path + ": not valid JSON");
  Result<Scenario> s = scenario_from_json(doc);
  if (!s) return fail(path + ": " + s.error());
  return s;
}

}  // namespace sim
