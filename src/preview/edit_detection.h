// Edit detection: the host's project-change timestamp is read every tick;
// a stamp that differs from the baseline is an edit, stamped with the tick's
// monotonic time. Renders wait until edits have been quiet for a while, so a
// drag in the host does not start a render per step.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace vel {

using ProjectStamp = std::array<uint32_t, 4>;

inline constexpr uint64_t kEditQuietNs = 200'000'000;

struct EditTracker {
  std::optional<ProjectStamp> baseline;  // none until the first read
  std::optional<uint64_t> last_edit_ns;  // monotonic time of the last edit seen
  uint64_t edits = 0;                    // edits seen since start (saturating)
};

// Folds one timestamp read in. The first read only sets the baseline.
// Answers true when the stamp differs from the baseline (an edit).
bool note_project_stamp(EditTracker& tracker, const ProjectStamp& stamp, uint64_t now_ns);

// True when the preview is forced, when no edit was ever stamped, or when at
// least 200 ms passed since the last edit (a clock going back counts as
// not yet quiet).
bool edit_quiet_elapsed(const EditTracker& tracker, bool forced, uint64_t now_ns);

}  // namespace vel
