// The idle hook's reach into the Metal presenters of the panel's two homes:
// whether the usable panel presents through "velocinta-present", the report
// of what that worker presented, and the posts of what it should play.
// Main thread only.
#pragma once

#include "panel/panel_homes.h"
#include "panel/present/metal/present_job.h"
#include "panel/present/metal/worker_playback.h"

namespace vel {

// True when the usable panel (docked when `docked_usable`, else the visible
// floating one) has a Metal presenter. A hidden floating window ends the
// scrubs of its views.
bool panel_can_present(DockedHome& docked, FloatingHome& floating, bool docked_usable);

// The report of the usable panel's Metal worker, made for its current job;
// none when there is none (a hidden floating window ends its scrubs).
PresenterReport take_floating_present_result(DockedHome& docked, FloatingHome& floating, bool docked_usable);
// The frames the Metal workers' playback let fall due without showing them
// since the last call.
uint64_t take_worker_missed_frames(DockedHome& docked, FloatingHome& floating, bool docked_usable);

// The Metal panel of one home (the docked one when `docked`), shown or not:
// the panel a worker played in; none without a built panel with a Metal
// presenter there.
ActivePanel metal_home_panel(DockedHome& docked, FloatingHome& floating, bool in_docked);
// The report of that panel's worker, made for its current job.
PresenterReport metal_home_result(const ActivePanel& panel);
// The frame whose picture that panel's worker last put on screen.
std::optional<int64_t> metal_home_screen_index(const ActivePanel& panel);

// Posts to the panel's Metal worker with the present request and memory
// pressure of now; a panel without one lets the frames go.
void dispatch_present_job(const ActivePanel& panel, PresentPost post);
// Ends the playback of the panel's Metal worker as a stop (`post` from
// end_worker_playback): nothing it drew for the playback reaches the
// screen from now on. The frame whose picture it left there, when one did.
std::optional<int64_t> dispatch_playback_stop(const ActivePanel& panel, PresentPost post);

}  // namespace vel
