// Typed calls over the Utility suite: scripts, the early idle request, the
// modal state, user messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

struct ScriptOutput {
  std::string result;  // UTF-8, invalid sequences replaced
  std::string error;   // the script's error text; empty when it ran cleanly
};
// Runs `script` (UTF-8) in the host's scripting engine. A script holding a
// zero byte is refused (InvalidParms) without calling the host. Both result
// handles are freed on every path. Main thread only.
Result<ScriptOutput, AeError> execute_script(PluginId plugin_id, std::string_view script);

// Acquires the Utility suite once for the process (never released) and
// installs the early idle request of core/process_flags.h on it. Main
// thread; later calls answer at once.
Status<AeError> keep_utility_suite();
// Whether the Utility suite is kept. Any thread.
bool utility_suite_kept();

// CauseIdleRoutinesToBeCalled through the kept suite; the host's code, or
// MissingSuite when no suite is kept. Any thread; never acquires.
Status<AeError> cause_idle_routines();

// Whether the host shows a modal window, through the kept suite when there
// is one. Main thread.
Result<bool, AeError> host_shows_modal();

// Shows `text` to the user. Main thread.
Status<AeError> report_info(PluginId plugin_id, std::string_view text);

}  // namespace vel
