// A producer that breaks the shared-memory output's rules on purpose. The
// stand-in loads no plug-in for it: it reads the manifest beside the output
// itself, attaches to the segment through a layout written here on its own
// (so that it also cross-checks the plug-in's), and publishes one frame the
// consumer must refuse: a duplicate, a wrong contract word, a frame outside
// the range, a payload longer than the capacity, or a segment shrunk under
// the consumer. It then waits for the consumer to close the output.
#pragma once

#include <cstdio>
#include <string>

#include "output_faults.h"

namespace sim {

// The exit status: 0 once the consumer closed the output after the hostile
// frame, 1 when anything before it failed or the consumer never closed.
int run_hostile_producer(const std::string& output, HostileOutput kind, std::FILE* log);

}  // namespace sim
