// PreviewState: the plug-in's global state, built once at start-up, handed
// to the host as the global refcon and reached only through hook arguments
// on the host's main thread. Each subsystem keeps its own part here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cache/frame_cache.h"
#include "core/options.h"
#include "plugin/presentation.h"
#include "plugin/store_feed.h"
#include "host/handles.h"
#include "panel/update/update_banner.h"
#include "pool/runtime/pool_runtime.h"
#include "preview/preview_controller.h"

namespace vel {

struct IdleClock {
  bool in_tick = false;            // refuses re-entry
  uint64_t last_call_ns = 0;       // previous idle call, 0 before the first
  uint64_t holdoff_until_ns = 0;   // armed by a long gap between calls
  uint64_t calls = 0;
  uint64_t ticks = 0;              // calls that ran the steps (not modal, not re-entered)
};

struct PreviewState {
  PluginId plugin_id = 0;
  IdleClock idle;

  // The preview window's state as the commands see it.
  bool preview_open = false;
  bool pool_enabled = false;

  PreviewController preview;  // subsystem 2
  FrameCache cache;           // subsystem 3, RAM side
  StoreFeed store;            // subsystem 3, disk side
  PresentationState presentation;  // subsystem 4
  PoolRuntime pool;                // subsystem 5, the render pool

  // Options as last persisted, to save only changes.
  PersistedOptions persisted_options;

  // The update banner as last applied to the panels (subsystem 4).
  UpdateBannerMemory update_banner;
};

// Builds the state at the end of start-up.
PreviewState* new_preview_state(PluginId plugin_id, const PersistedOptions& loaded);

}  // namespace vel
