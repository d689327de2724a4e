// How the pool takes its snapshot and when it adopts one.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "pool/runtime/pool_runtime.h"

namespace vel {

// The open project as the pump sees it: its file and whether it has unsaved
// changes; none when no project is open or it has no file.
using OpenProject = std::optional<std::pair<std::string, bool>>;

// The least rule that never touches the user's project:
// - unsaved changes, or no file: wait for the user's save;
// - clean, its file known and written at or after the last edit: copy that
//   file, in the background while the pipeline optimisation is on, else
//   directly on the main thread;
// - clean but its file unreadable or older than the last edit (the file on
//   disk may not hold what the host shows): a save of a copy through the host.
enum class SnapshotRoad { WaitForSave, BackgroundCopy, DirectCopy, HostSave };
SnapshotRoad choose_snapshot_road(const OpenProject& project, const std::optional<FileStamp>& stamp,
                                  const std::optional<FileStamp::Time>& last_edit, bool optimize);

// Whether a finished background copy still shows the project: clean at the
// copy's source, the file unchanged since, and written at or after the last
// edit.
bool snapshot_still_fresh(const SnapshotReady& ready, const OpenProject& project,
                          const std::optional<FileStamp>& source_now,
                          const std::optional<FileStamp::Time>& last_edit);

// Makes `ready` the pool's snapshot; the copy it replaces is deleted first.
// A copy time that is not a finite, non-negative number is not stored.
fs::path adopt_project_snapshot(PoolRuntime& rt, SnapshotReady ready);

}  // namespace vel
