// The presentation part of the plug-in's global state and the idle-tick
// steps that drive it: the panel's two homes (docked and floating) with the
// CPU presentation each shows frames through, the playback clock, the
// pacemaker and the pipeline report. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "panel/cache_strip.h"
#include "panel/panel_controls.h"
#include "panel/panel_homes.h"
#include "panel/present/cpu_presentation.h"
#include "panel/present/metal/worker_playback.h"
#include "panel/present/pipeline_report.h"
#include "panel/present/playback_clock.h"
#include "plugin/strip_columns.h"

namespace vel {

struct PreviewState;

// What the tick last took of the panel's posts, and the frame the panel
// holds the preview at after a scrub or a pause.
struct PanelInputMemory {
  uint64_t play_toggles_seen = 0;
  uint64_t scrub_seq = 0;
  std::optional<int64_t> held_frame;
};

struct PresentationState {
  DockedHome docked;      // the host's workspace panel
  FloatingHome floating;  // the plug-in's window when the host has no panel suite
  PlayControlMemory controls;
  PanelInputMemory input;
  uint8_t pool_availability = 0;  // 2: the pool is unavailable for its render settings
  std::optional<std::string> last_detail;  // none: set it again on the next tick
  StripPicture last_strip;
  StripColumnsMemo strip_columns;
  PlaybackClock clock;
  WorkerPlayback worker;  // playback by a Metal panel's own worker
  PipelineStats pipeline;
  bool dirty = false;                  // the presentation-dirty flag
  std::optional<uint64_t> context_item;  // the composition the presentation is for
};

// The preview opened or closed: without a docked panel the floating window
// shows or hides.
void open_presentation(PreviewState& state);
void close_presentation(PreviewState& state);

// The panel that frames go to now (docked when shown, else the visible
// floating one); none when neither.
ActivePanel presenting_panel(PreviewState& state);
// Shows a frame in that panel; false when there is none or it refused.
bool present_in_active_panel(PreviewState& state, const RgbaFrame& frame);

// Opens a new present request for the current composition and drops what
// is pending; twice in a row for one composition opens only one request.
void invalidate_presentation(PreviewState& state);

// Tick steps, in the idle hook's order.
void presentation_reap_step(PreviewState& state);
void playback_clock_step(PreviewState& state, uint64_t now_ns);
void presentation_tick_step(PreviewState& state, uint64_t now_ns);

// Before a pause settles: the clock's shown frame follows what a playing
// Metal worker last presented, or the CPU clock counts the frames that
// fell due since its last step.
void settle_playback_for_pause(PreviewState& state, uint64_t now_ns);

// The clock starts over where the picture stood (the cache it followed is
// gone): the panel is asked for the frame on screen, or the playhead, and
// a pause holds, since only the play control toggles it.
void restart_clock_in_place(PreviewState& state);

// Death hook: the pacemaker stops, present workers stop and are joined.
void presentation_shutdown(PreviewState* state);

}  // namespace vel
