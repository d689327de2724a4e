// The presenters' PERF lines are part of what these tests check; the switch
// is read once per process, so it is turned on before any test runs (set in
// one test, it came too late whenever an earlier test of the same process
// had read it).
#include <stdlib.h>

namespace {
const bool kPerfOn = (setenv("VELOCINTA_PERF", "1", 1), true);
}  // namespace
