#include "core/plugin/pool_services.h"

#include "core/log.h"
#include "core/plugin/preview_state.h"

namespace vel {

void stop_pool(PreviewState& state) {
  (void)state;
  log_line("INFO", "pool: stop");
}

}  // namespace vel
