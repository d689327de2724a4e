// The panel as the rest of the plug-in sees it: the workspace panel's
// creation hook, the panel's part of the idle tick (layout, the requests its
// views and controls posted, the play title and status texts, the cache
// strip) and the inputs every panel is built from. Main thread only.
#pragma once

#include <cstdint>

#include "plugin/hooks.h"
#include "host/handles.h"
#include "panel/panel_build_inputs.h"
#include "preview/work_area.h"

namespace vel {

struct PreviewState;
struct PreviewTickInputs;

// Called once at start-up, on the host's main thread.
void remember_main_thread();
bool on_main_thread();

// The host's panel-creation callback for "velocinta preview".
int32_t panel_create_hook(void* plugin_refcon, void* refcon, void* container, PanelH panel,
                          ::AEGP_PanelFunctions1* functions, void** panel_refcon);

// Options, Speed levels and switches as a new panel needs them now.
PanelBuildInputs panel_build_inputs();

// The work-area words the panel posted (marks moved, IN/OUT keys).
WorkAreaSignals read_work_area_posts();

// Takes what the panel's views and controls posted so far as already
// handled: a new state does not act on clicks made before it existed.
void take_panel_posts_as_seen(PreviewState& state);

// Reads the words the panel posted into this tick's inputs (work-area
// requests) and applies play clicks and scrub positions.
void panel_input_step(PreviewState& state, PreviewTickInputs& in);

// Whether the panel posted, since the last input step, clicks or a scrub
// that stop the playback in progress: until the stop is taken up, the
// picture stays the one the user stopped on.
bool playback_stop_posted(const PreviewState& state);

// After the composition tracking: the frame the panel was asked to hold
// (scrub, click or pause) belongs to the composition it was asked in, and
// is forgotten when another is pinned.
void hold_panel_frame(PreviewState& state, bool pinned_changed);

// Layout, play title, status texts and the cache strip.
void panel_refresh_step(PreviewState& state);

}  // namespace vel
