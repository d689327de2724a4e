// The stand-in host's scripting: scripts run for real in Duktape over a small
// object model of the open project (its compositions, the render queue, the
// render-settings and output-module templates). The template store lives in
// a preferences file under HOME, read and written by every run, and read by
// the stand-in aerender. The engine's ES5 additions are removed before each
// run, so a script that leans on them fails here as it would in the host.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "project/project_store.h"

namespace sim {

// Switches, each named by --script-switch:
// - "sticky:KEY": setting KEY is ignored (the value refuses to stick);
// - "save-fails": saveAsTemplate throws;
// - "remove-fails": removing the render-queue item throws;
// - "queue-dirties": adding the render-queue item marks unsaved changes.
struct ScriptSwitches {
  std::string sticky_key;
  bool save_fails = false;
  bool remove_fails = false;
  bool queue_dirties = false;
  // Saves of a copy through the Project suite: "save-copy-half-fails" writes
  // half the file and then fails; "save-copy-slow" writes it in pieces with
  // pauses between them.
  bool save_copy_half_fails = false;
  bool save_copy_slow = false;
};
ScriptSwitches parse_script_switches(const std::vector<std::string>& names);

// "$HOME/Library/Preferences/simhost-templates.json"; empty without HOME.
std::string template_store_path();
// The store as it stands (the host's defaults when the file is missing).
// A user adds output-module templates through the Output Module Templates
// dialog (output_templates_dialog.h), never here.
nlohmann::json load_template_store();
// Writes the store whole; false when it cannot be written.
bool save_template_store(const nlohmann::json& store);

struct ScriptRecord {
  std::string result;
  std::string error;
};

class ScriptHost {
 public:
  void configure(bool enabled, ScriptSwitches switches);
  // Runs `script` on the main thread: its result and error texts.
  ScriptRecord run(const std::string& script, ProjectStore& project);
  std::vector<ScriptRecord> runs() const;
  std::vector<std::string> template_names() const;
  ScriptSwitches switches() const;

 private:
  mutable std::mutex mu_;
  bool enabled_ = true;
  ScriptSwitches switches_;
  std::vector<ScriptRecord> runs_;
};

}  // namespace sim
