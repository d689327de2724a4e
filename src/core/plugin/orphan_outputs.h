// Memory outputs left behind by a host that was killed: removed at load.
#pragma once

#include <vector>

#include "memout/orphan_sweep.h"

namespace vel {

// Logs each removal (INFO) or failed removal (ERROR), one line per segment
// or manifest, so that a user who finds memory given back can see why.
void log_orphan_sweep(const std::vector<SweptSegment>& segments, const std::vector<SweptManifest>& manifests);

// A host killed while it had memory outputs open leaves their segments, each
// holding its pages, and their manifests; nobody else will remove them.
void sweep_orphan_memory_outputs();

}  // namespace vel
