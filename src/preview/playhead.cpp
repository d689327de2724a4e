#include "preview/playhead.h"

#include <algorithm>

namespace vel {

int64_t loop_entry(int64_t frame, const WorkAreaFrames& bounds) {
  return frame >= bounds.first && frame <= bounds.last ? frame : bounds.first;
}

Playhead find_playhead(const PanelPosition& panel, int64_t host_frame, const WorkAreaFrames& work_area,
                       int64_t frame_count) {
  Playhead p;
  p.on_screen = panel.pictured ? panel.pictured : panel.shown;
  p.playing = panel.playing;
  if (frame_count <= 0) {
    p.frame = host_frame;
    return p;
  }
  const WorkAreaFrames b = work_area_bounds(work_area, frame_count);
  int64_t frame;
  if (panel.playing) {
    if (const std::optional<int64_t> from = panel.awaiting ? panel.awaiting : panel.shown) {
      frame = *from >= b.first && *from < b.last ? *from + 1 : b.first;
    } else {
      // Nothing on screen yet: playback starts from where the panel was
      // asked to be, or the host's time, inside the loop.
      frame = loop_entry(panel.asked.value_or(host_frame), b);
    }
  } else {
    frame = panel.asked ? *panel.asked : panel.shown.value_or(host_frame);
  }
  p.frame = std::clamp<int64_t>(frame, 0, frame_count - 1);
  return p;
}

int64_t mark_frame(const Playhead& playhead) {
  return playhead.playing && playhead.on_screen ? *playhead.on_screen : playhead.frame;
}

}  // namespace vel
