// Memory outputs left behind by a host that was killed: removed at load,
// and, in the pool folder, once this host takes it.
#pragma once

#include <vector>

#include "memout/orphan_sweep.h"

namespace vel {

// Logs the removals (INFO) and failed removals (ERROR), so that a user who
// finds memory given back can see why: of each kind (segments or manifests,
// removed or not) the first in full, then one line counting the others (and
// their bytes, for segments).
void log_orphan_sweep(const std::vector<SweptSegment>& segments, const std::vector<SweptManifest>& manifests);

// A host killed while it had memory outputs open leaves their segments, each
// holding its pages, and their manifests; nobody else will remove them.
void sweep_orphan_memory_outputs();

}  // namespace vel
