// The cache's side of a composition switch: the composition being left is
// set aside in the archive, a record that must not be reused is dropped, the
// incoming one may come back from the archive, and the live cache is sized
// and focused for the incoming composition.
//
// The rest of the switch (the cost profile, pipeline statistics, pacemaker
// and status text) belongs to the caller, after this returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cache/frame_cache.h"

namespace vel {

struct CompActivation {
  std::optional<uint64_t> outgoing_comp;    // set aside when present
  std::optional<uint64_t> drop_comp;        // a record that must not be reused
  std::optional<uint64_t> restore_comp;     // brought back from the archive when it holds it
  std::optional<std::string> comp_name;     // as read from the host; none when unreadable
  uint64_t frame_count = 0;                 // frames of the incoming composition
  FrameKey focus;                           // the incoming playhead
};

struct CompActivationOutcome {
  std::string comp_key;                     // the composition key: its name, empty when unreadable
  uint64_t set_aside_frames = 0;            // frames the outgoing composition keeps in the archive
  std::optional<uint64_t> restored_frames;  // none when nothing was restored
  uint8_t focus_frame_raw = 0;              // request_frame_unpack's answer for the focus
};

// Runs the cache's steps of the switch in order: set aside, drop, frame
// limit min(frame count, 4096), restore, focus, unpack request for the
// focus, budget enforcement.
CompActivationOutcome activate_comp_cache(FrameCache& cache, const CompActivation& activation);

}  // namespace vel
