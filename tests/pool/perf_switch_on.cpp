// The pool's PERF lines are part of what its tests check; the switch is read
// once per process, so it is turned on before any test runs.
#include <stdlib.h>

namespace {
const bool kPerfOn = (setenv("VELOCINTA_PERF", "1", 1), true);
}  // namespace
