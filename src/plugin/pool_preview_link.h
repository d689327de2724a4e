// Where the preview and the panel meet the render pool: the hooks the
// preview calls (render times, the pool's claims on frames), the facts the
// pool takes from the preview each tick (the pooled composition, its 3D
// flag, the output downsample, the witness claims, the panel's visibility)
// and the play button's immediate launch.
// Main thread only.
#pragma once

#include <cstdint>

namespace vel {

struct PreviewState;

// Installs the preview's pool hooks on a new state.
void link_preview_to_pool(PreviewState& state);

// The downsample the pool's workers render at for a preview downsample:
// the preview's own up to a quarter, never coarser (1, 2 or 4); the
// decimation beyond happens as the frames come in.
uint64_t pool_file_downsample(uint32_t preview_downsample);

// The resource plan: the workers' output downsample follows the preview's,
// and a change forgets the plan made for the old one.
void refresh_resource_plan(PreviewState& state);

// The pooled composition as the preview sees it now: its identity, size and
// 3D flag. A change of the 3D flag forgets the plan and the measured
// delivery; a composition that is no longer 3D is no longer contended.
void follow_pooled_comp(PreviewState& state);

// The pool's share of the idle hook before its own step: the witness
// claims (held ranges, handoff) and, with no panel on screen, the queued
// ranges dropped.
void pool_follow_preview_step(PreviewState& state, uint64_t now_ns);

// The play button started playback: holds from edit storms are lifted so
// that the pool may take its snapshot at once.
void pool_play_started(PreviewState& state, uint64_t now_ns);

}  // namespace vel
