#include "script/script_host.h"

#include <duktape.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "script/script_prelude.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// The run in progress, reached by the engine's native functions. Scripts
// run on the main thread only, one at a time.
struct RunContext {
  ProjectStore* project = nullptr;
  nlohmann::json* store = nullptr;
  const ScriptSwitches* switches = nullptr;
};
RunContext* g_run = nullptr;

nlohmann::json default_store() {
  nlohmann::json common = {{"Resize", false}, {"Crop", false}, {"Starting #", "0"}, {"Use Comp Frame Number", "true"}};
  nlohmann::json photoshop = common;
  photoshop.update({{"Format", "Photoshop"}, {"Channels", "RGB + Alpha"}, {"Depth", "Millions of Colors+"},
                    {"Color", "Premultiplied (Matted)"}});
  nlohmann::json targa = common;
  targa.update({{"Format", "Targa"}, {"Channels", "RGB"}, {"Depth", "Millions of Colors"}, {"Color", "Premultiplied (Matted)"}});
  return {{"rs", nlohmann::json::object()}, {"om", {{"Photoshop", photoshop}, {"Targa Sequence", targa}}}};
}

duk_ret_t native_store_load(duk_context* ctx) {
  duk_push_string(ctx, g_run->store->dump().c_str());
  return 1;
}

duk_ret_t native_store_save(duk_context* ctx) {
  auto parsed = nlohmann::json::parse(duk_require_string(ctx, 0), nullptr, false);
  if (!parsed.is_discarded()) {
    *g_run->store = std::move(parsed);
    (void)save_template_store(*g_run->store);
  }
  return 0;
}

duk_ret_t native_switches(duk_context* ctx) {
  const ScriptSwitches& sw = *g_run->switches;
  nlohmann::json j = {{"sticky", sw.sticky_key}, {"save_fails", sw.save_fails}, {"remove_fails", sw.remove_fails},
                      {"queue_dirties", sw.queue_dirties}};
  duk_push_string(ctx, j.dump().c_str());
  return 1;
}

duk_ret_t native_comp_names(duk_context* ctx) {
  nlohmann::json names = nlohmann::json::array();
  ProjectSnapshot snap = g_run->project->snapshot();
  for (const Composition& c : snap->comps) names.push_back(c.name);
  duk_push_string(ctx, names.dump().c_str());
  return 1;
}

duk_ret_t native_queue_changed(duk_context* ctx) {
  g_run->project->touch(duk_to_boolean(ctx, 0) != 0);
  return 0;
}

std::string safe_text(duk_context* ctx) {
  const char* s = duk_safe_to_string(ctx, -1);
  return s ? s : "";
}

void fatal_handler(void*, const char* msg) {
  std::fprintf(stderr, "simhost: script engine fatal error: %s\n", msg ? msg : "");
  std::abort();
}

}  // namespace

ScriptSwitches parse_script_switches(const std::vector<std::string>& names) {
  ScriptSwitches sw;
  for (const std::string& n : names) {
    if (n == "save-fails") sw.save_fails = true;
    else if (n == "remove-fails") sw.remove_fails = true;
    else if (n == "queue-dirties") sw.queue_dirties = true;
    else if (n == "save-copy-half-fails") sw.save_copy_half_fails = true;
    else if (n == "save-copy-slow") sw.save_copy_slow = true;
    else if (n.rfind("sticky:", 0) == 0) sw.sticky_key = n.substr(7);
  }
  return sw;
}

std::string template_store_path() {
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') return {};
  return std::string(home) + "/Library/Preferences/simhost-templates.json";
}

nlohmann::json load_template_store() {
  nlohmann::json store;
  std::ifstream in(template_store_path());
  if (in) store = nlohmann::json::parse(in, nullptr, false);
  if (!store.is_object() || !store.contains("rs") || !store.contains("om") || !store["rs"].is_object() ||
      !store["om"].is_object())
    store = default_store();
  return store;
}

bool save_template_store(const nlohmann::json& store) {
  std::string path = template_store_path();
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::trunc);
  out << store.dump(2) << '\n';
  out.flush();
  return static_cast<bool>(out);
}

void ScriptHost::configure(bool enabled, ScriptSwitches switches) {
  std::lock_guard lock(mu_);
  enabled_ = enabled;
  switches_ = std::move(switches);
}

ScriptRecord ScriptHost::run(const std::string& script, ProjectStore& project) {
  ScriptRecord rec;
  bool enabled;
  ScriptSwitches sw;
  {
    std::lock_guard lock(mu_);
    enabled = enabled_;
    sw = switches_;
  }
  if (!enabled) {
    rec.error = "simhost: scripting is not available";
  } else {
    nlohmann::json store = load_template_store();
    (void)save_template_store(store);
    RunContext ctx_state{&project, &store, &sw};
    g_run = &ctx_state;
    duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, fatal_handler);
    const duk_function_list_entry natives[] = {{"__sim_store_load", native_store_load, 0},
                                               {"__sim_store_save", native_store_save, 1},
                                               {"__sim_switches", native_switches, 0},
                                               {"__sim_comp_names", native_comp_names, 0},
                                               {"__sim_queue_changed", native_queue_changed, 1},
                                               {nullptr, nullptr, 0}};
    duk_push_global_object(ctx);
    duk_put_function_list(ctx, -1, natives);
    duk_pop(ctx);
    if (duk_peval_string(ctx, script_prelude()) != 0) {
      rec.error = "simhost: object model: " + safe_text(ctx);
    } else {
      duk_pop(ctx);
      if (duk_peval_string(ctx, script.c_str()) != 0) {
        rec.error = safe_text(ctx);
      } else {
        rec.result = safe_text(ctx);
      }
    }
    duk_destroy_heap(ctx);
    g_run = nullptr;
  }
  std::lock_guard lock(mu_);
  runs_.push_back(rec);
  return rec;
}

ScriptSwitches ScriptHost::switches() const {
  std::lock_guard lock(mu_);
  return switches_;
}

std::vector<ScriptRecord> ScriptHost::runs() const {
  std::lock_guard lock(mu_);
  return runs_;
}

std::vector<std::string> ScriptHost::template_names() const {
  std::vector<std::string> names;
  nlohmann::json store = load_template_store();
  for (const char* kind : {"rs", "om"})
    for (auto it = store[kind].begin(); it != store[kind].end(); ++it) names.push_back(it.key());
  return names;
}

}  // namespace sim
