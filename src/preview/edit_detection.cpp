#include "preview/edit_detection.h"

namespace vel {

bool note_project_stamp(EditTracker& tracker, const ProjectStamp& stamp, uint64_t now_ns) {
  if (!tracker.baseline) {
    tracker.baseline = stamp;
    return false;
  }
  if (*tracker.baseline == stamp) return false;
  tracker.baseline = stamp;
  tracker.last_edit_ns = now_ns;
  if (tracker.edits != UINT64_MAX) ++tracker.edits;
  return true;
}

bool edit_quiet_elapsed(const EditTracker& tracker, bool forced, uint64_t now_ns) {
  if (forced || !tracker.last_edit_ns) return true;
  return now_ns >= *tracker.last_edit_ns && now_ns - *tracker.last_edit_ns >= kEditQuietNs;
}

}  // namespace vel
