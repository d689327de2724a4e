// A scenario drives a run in time: at t ms after start-up, run a menu
// command, show or close a modal window (or show one for a while), edit the
// project, or save it; open, show, hide or resize a workspace panel, click,
// drag or type in the panel's window, press its play button, or save a
// picture of it; make an output-module template as a user does in the
// host's dialog; or end the run.
// An event may also wait for a condition of the host's world (`when`), so
// that a run follows what happens rather than a guess of how long it takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "simhost/result.h"

namespace sim {

enum class EventKind : uint8_t {
  command, show_modal, close_modal,
  modal,  // a modal window shown for `value["ms"]` ms: the host's own modal loop, no idle call meanwhile
  edit, save, activate,
  open_panel, show_panel, hide_panel, resize_panel,
  click, drag, mouse_down, mouse_drag, mouse_up, key, play, pause, screenshot,
  metal,  // the stand-in GPU's completion mode and faults (metal_events.h)
  quit,   // ends the main loop: the death hooks and the summary follow
  wait,   // does nothing: an event that only holds the later ones behind its `when`
  mark,   // records the run's counters under `name` in the summary's `marks`
  // makes an output-module template in the host's Output Module Templates
  // dialog: `value` holds "name", "format" and optionally "channels",
  // "depth" and "color" (output_templates_dialog.h)
  output_module_template
};

// What an event waits for, besides its time (scenario_waits.h).
enum class WaitFor : uint8_t {
  nothing,
  picture_presented,  // a frame reached the panel's picture since the last input, then none during an idle round
  text,               // a visible text of the panel's window starts with `when_text`
  no_text,            // no visible text of the panel's window starts with `when_text`
  link_opened,        // the opener recorder has a link and every opener it names is reaped
  file_text,          // the file `when_path` holds `when_text` at least `when_count` times
  no_entry,           // no entry of the folder `when_path` has a name starting with `when_text`
  files,              // at least `when_count` files under the folder `when_path` have names ending with `when_text`
  frames,             // at least `when_count` frames reached the panel's picture since the last input
  frames_total,       // at least `when_count` frames reached the panel's picture since the run began
  after_ms,           // `when_count` ms have passed since the event's turn came
  idle_rounds,        // the idle hooks were called `when_count` times since the event's turn came
};

// Panel events act on the panel's window (panel_events.h).
bool is_panel_event(EventKind kind);

struct ScenarioEvent {
  uint32_t at_ms = 0;
  EventKind kind = EventKind::command;
  std::string name;         // command: the menu command's name
  std::string pointer;      // edit: where in the project document (JSON pointer)
  nlohmann::json value;     // edit: the new value there; panel and metal events: the event's fields
  std::string path;         // save: a copy's path (relative: inside --out); empty: the project's own file
  WaitFor when = WaitFor::nothing;  // later events wait behind this one
  std::string when_text;            // WaitFor::text: the text's beginning; file_text: the text; no_entry: the prefix;
                                    // files: the names' ending
  std::string when_path;            // file_text: the file; no_entry, files: the folder
  uint32_t when_count = 1;          // file_text: how many times; frames, files, idle_rounds: how many; after_ms: how long
  // file_text: matches count only past the first line holding `when_after`
  // whose "range=A..B" spans at least `when_range_frames` frames.
  std::string when_after;
  uint32_t when_range_frames = 0;
  std::string when_source;          // the condition as written, for failures and the summary
};

struct Scenario {
  std::vector<ScenarioEvent> events;  // in time order; equal times keep file order
};

inline constexpr uint32_t kMaxScenarioMs = 24u * 3600u * 1000u;
inline constexpr size_t kMaxScenarioEvents = 100000;

Result<Scenario> scenario_from_json(const nlohmann::json& doc);
Result<Scenario> load_scenario_file(const std::string& path);

const char* event_kind_name(EventKind kind);

}  // namespace sim
