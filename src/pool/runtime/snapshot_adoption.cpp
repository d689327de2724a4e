#include "pool/runtime/snapshot_adoption.h"

#include <cmath>

namespace vel {

SnapshotRoad choose_snapshot_road(const OpenProject& project, const std::optional<FileStamp>& stamp,
                                  const std::optional<FileStamp::Time>& last_edit, bool optimize) {
  if (!project || project->second) return SnapshotRoad::WaitForSave;
  bool file_current = stamp && (!last_edit || stamp->modified >= *last_edit);
  if (!file_current) return SnapshotRoad::HostSave;
  return optimize ? SnapshotRoad::BackgroundCopy : SnapshotRoad::DirectCopy;
}

bool snapshot_still_fresh(const SnapshotReady& ready, const OpenProject& project,
                          const std::optional<FileStamp>& source_now,
                          const std::optional<FileStamp::Time>& last_edit) {
  return matches_clean_project(ready.source(), project) && source_now && *source_now == ready.stamp() &&
         (!last_edit || ready.stamp().modified >= *last_edit);
}

fs::path adopt_project_snapshot(PoolRuntime& rt, SnapshotReady ready) {
  if (std::isfinite(ready.copy_ms()) && ready.copy_ms() >= 0.0) rt.last_snapshot_copy_ms = ready.copy_ms();
  rt.snapshot_path = ready.snapshot();
  rt.launch_debounce_from.reset();
  rt.save_required = false;
  rt.snapshot_file.reset();
  rt.snapshot_file.emplace(std::move(ready));
  return *rt.snapshot_path;
}

}  // namespace vel
