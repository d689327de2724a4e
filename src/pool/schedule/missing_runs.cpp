#include "pool/schedule/missing_runs.h"

namespace vel {

std::vector<QueuedRange> missing_runs(int64_t start, int64_t end, bool replay, const FrameTries& tries,
                                      const std::set<int64_t>& handed, const std::set<int64_t>& null_frames) {
  std::vector<QueuedRange> runs;
  if (replay || start > end) return runs;
  const auto accounted = [&](int64_t f) { return tries.count(f) || handed.count(f) || null_frames.count(f); };
  std::optional<int64_t> run_start;
  for (int64_t f = start;; ++f) {
    if (!accounted(f)) {
      if (!run_start) run_start = f;
    } else if (run_start) {
      runs.push_back(QueuedRange{*run_start, f - 1, true});
      run_start.reset();
    }
    if (f == end) break;  // before the increment: `end` may be the largest frame
  }
  if (run_start) runs.push_back(QueuedRange{*run_start, end, true});
  return runs;
}

bool file_output_drained(bool pending_files_empty, std::optional<uint64_t> last_scan_at_ns,
                         std::optional<uint64_t> last_exit_seen_at_ns) {
  if (!pending_files_empty) return false;
  if (!last_exit_seen_at_ns) return true;
  return last_scan_at_ns && *last_scan_at_ns >= *last_exit_seen_at_ns;
}

}  // namespace vel
