// What each menu command does to the preview. Main thread, under the
// command hook's failure boundary.
#pragma once

#include <functional>
#include <optional>

#include "pool/runtime/pool_directory.h"

namespace vel {

struct PreviewState;

void cmd_preview_toggle(PreviewState& state);
void cmd_purge_caches(PreviewState& state);
void cmd_grab_frame(PreviewState& state);
void cmd_live_grab_toggle(PreviewState& state);
void cmd_pool_toggle(PreviewState& state);
// The pool toggle with the pool folder's claim given: turning the pool on
// first asks `claim_folder` for the folder. While another host holds it the
// pool stays off and one line names that host; a folder that is not ours
// turns the pool off for the session. Turned on while off for the session,
// the pool says it stays off.
void toggle_pool(PreviewState& state, const std::function<std::optional<PoolFolderRefusal>()>& claim_folder);
void cmd_dump_comp(PreviewState& state);

}  // namespace vel
