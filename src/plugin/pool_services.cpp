#include "plugin/pool_services.h"

#include "core/machine.h"
#include "plugin/preview_state.h"
#include "pool/runtime/pool_runtime_ops.h"

namespace vel {

void stop_pool(PreviewState& state) { stop_pool(state.pool, mono_ns()); }

}  // namespace vel
