// The presentation part of the plug-in's global state and the idle-tick
// steps that drive it: the CPU presentation the preview shows frames in, the
// playback clock, the pacemaker and the pipeline report. Until the panel
// exists, opening the preview builds a stand-in picture of its own.
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "panel/cpu_presentation.h"
#include "panel/pipeline_report.h"
#include "panel/playback_clock.h"

namespace vel {

struct PreviewState;

// The picture the preview shows in before the panel lays one out.
inline constexpr PicturePixels kStandInPicturePx{960, 540};

struct PresentationState {
  std::unique_ptr<CpuPresentation> cpu;
  PlaybackClock clock;
  PipelineStats pipeline;
  bool dirty = false;                  // the presentation-dirty flag
  std::optional<uint64_t> context_item;  // the composition the presentation is for
};

// The preview opened or closed.
void open_presentation(PreviewState& state);
void close_presentation(PreviewState& state);

// Opens a new present request for the current composition and drops what
// is pending; twice in a row for one composition opens only one request.
void invalidate_presentation(PreviewState& state);

// Tick steps, in the idle hook's order.
void presentation_reap_step(PreviewState& state);
void playback_clock_step(PreviewState& state, uint64_t now_ns);
void presentation_tick_step(PreviewState& state, uint64_t now_ns);

// Death hook: the pacemaker stops, present workers stop and are joined.
void presentation_shutdown(PreviewState* state);

}  // namespace vel
