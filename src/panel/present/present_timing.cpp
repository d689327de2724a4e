#include "panel/present/present_timing.h"

#include <algorithm>
#include <cmath>

namespace vel {

void accumulate_present_timing(PresentTimingTotals& t, const PresentTelemetry& r) {
  switch (r.kind) {
    case kEventClockMoved:
    case kEventClockReused: {
      if (t.clock_ms && r.stamp_ms < *t.clock_ms) return;
      const std::pair<uint64_t, double> key{r.request.item, r.frame_time};
      if (t.clock_key != key) {
        t.clock_key = key;
        t.clock_ms = r.stamp_ms;
      }
      return;
    }
    case kEventPresented: {
      if (t.last_present_ms && r.stamp_ms < *t.last_present_ms) return;
      t.last_present_ms = r.stamp_ms;
      const auto present_key = std::make_tuple(r.request.item, r.frame_time, r.frame_identity, r.width, r.height,
                                               r.shown_width);
      if (t.present_key != present_key) {
        t.present_key = present_key;
        t.content_change_ms = r.stamp_ms;
      }
      const std::pair<uint64_t, double> frame_key{r.request.item, r.frame_time};
      if (t.frame_key != frame_key) {
        t.frame_key = frame_key;
        t.frame_change_ms = r.stamp_ms;
      }
      return;
    }
    case kEventGpuCompleted:
      t.completion_ms = t.completion_ms ? std::max(*t.completion_ms, r.stamp_ms) : r.stamp_ms;
      return;
    default:
      return;
  }
}

void accumulate_clock_time(ClockRunTotals& t, bool running, const std::optional<std::string>& label, double now_ms) {
  if (!std::isfinite(now_ms) || (t.last_ms && now_ms < *t.last_ms)) return;
  if (t.last_ms && t.running) {
    t.running_ms += now_ms - *t.last_ms;
    if (t.label) t.labelled_ms += now_ms - *t.last_ms;
  }
  t.last_ms = now_ms;
  if (t.running != running || t.label != label) {
    t.segment_start_ms = now_ms;
    t.segment_flag = label ? false : running;
  }
  t.running = running;
  t.label = label;
}

}  // namespace vel
