// The frames an exited worker left missing, and when they may be judged
// missing at all. A first-chance range gets one replay: its missing frames go
// back to the queue as replay ranges. A replay range gets none: what it
// missed is left to a later batch.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "pool/batch/frame_tries.h"
#include "pool/schedule/queued_range.h"

namespace vel {

// The frames of [start, end] that were neither delivered nor tried, nor
// with the decoders, nor seen as null output, as runs of consecutive frames
// marked for replay; nothing for a replay job or an inverted range.
std::vector<QueuedRange> missing_runs(int64_t start, int64_t end, bool replay, const FrameTries& tries,
                                      const std::set<int64_t>& handed, const std::set<int64_t>& null_frames);

// A file-mode batch's exited workers are examined once every file found is
// with the decoders and the discovery has scanned again since the exits
// were seen.
bool file_output_drained(bool pending_files_empty, std::optional<uint64_t> last_scan_at_ns,
                         std::optional<uint64_t> last_exit_seen_at_ns);

}  // namespace vel
