// What each menu command does to the preview. Main thread, under the
// command hook's failure boundary.
#pragma once

namespace vel {

struct PreviewState;

void cmd_preview_toggle(PreviewState& state);
void cmd_purge_caches(PreviewState& state);
void cmd_grab_frame(PreviewState& state);
void cmd_live_grab_toggle(PreviewState& state);
void cmd_pool_toggle(PreviewState& state);
void cmd_dump_comp(PreviewState& state);

}  // namespace vel
