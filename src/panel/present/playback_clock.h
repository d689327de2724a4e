// The playback clock: on every idle tick, which cached frame should be on
// screen during playback. It never runs ahead of what the panel really
// showed: after handing a frame over it waits for that very presentation to
// be confirmed (present tracker) before it picks the next one, and when
// frames are missing it shows the latest ready one and restarts its time
// base there. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "cache/frame_cache.h"
#include "cache/frame_key.h"
#include "cache/rgba_frame.h"
#include "host/frame_timing.h"

namespace vel {

struct AwaitedPresentation {
  uint64_t seq = 0;
  int64_t index = 0;
  double time = 0.0;  // seconds
  uint64_t present_no_at_await = 0;
};

// What a playback has counted as missed ahead of the frame on screen.
struct MissedMarks {
  // The farthest frame ahead of the shown one already counted, so that a
  // frame counted late is not counted again when the picture passes it.
  std::optional<int64_t> through;
  // The frame counted last: a frame due outside the loop (its bounds just
  // changed) counts once, however many steps it stays due.
  std::optional<int64_t> last;
  // The frame on screen when `through` was counted: the picture only moves
  // forward in loop order, so the frames counted still ahead of it are
  // known exactly, round after round of the loop. Unset: `through` itself.
  std::optional<int64_t> from;
};

// The frame before `frame` in loop order over lo..hi: hi before lo.
constexpr int64_t previous_in_loop(int64_t frame, int64_t lo, int64_t hi) { return frame == lo ? hi : frame - 1; }

// Counts every frame after `from` up to `to` in loop order over lo..hi,
// except `shown` (the one going on screen), that `marks` has not counted
// yet: the frames that fell due and were not shown in time, whether they
// were not ready or a late tick stepped over them. A frame missed again in
// a later round of the loop counts again. Answers how many.
uint64_t count_missed_frames(MissedMarks& marks, int64_t from, int64_t to, int64_t lo, int64_t hi,
                             std::optional<int64_t> shown);

// The picture moved forward to `shown`: the marks it reached are done
// with, so that the frames ahead count again in the next round of the loop.
void follow_picture(MissedMarks& marks, int64_t shown, int64_t lo, int64_t hi);

struct PlaybackClock {
  std::optional<FrameKey> shown_time;  // the frame on screen; the clock runs only while set
  std::optional<uint64_t> anchor_ns;   // start of the current run (monotonic)
  int64_t anchor_index = 0;
  // The loop bounds the run started with: new bounds start a new run from
  // the frame on screen, so that the frames of the new loop fall due from
  // there, not from a time counted in the old one.
  std::pair<int64_t, int64_t> anchor_loop{0, -1};
  std::optional<AwaitedPresentation> awaiting;
  uint64_t last_present_no = 0;
  bool paused = false;
  bool held = false;
  bool playing = true;
  std::optional<FrameKey> saved_shown_time;
  // Frames that fell due and were not ready to show, each counted once;
  // the owner takes the count into its report.
  uint64_t missed = 0;
  MissedMarks missed_marks;
};

// A clock started afresh (no frame on screen to follow, no time base, nothing
// awaited or counted) that keeps what only the play and position controls
// change: the pause and the hold.
PlaybackClock restarted_clock(const PlaybackClock& clock);

// What the clock reads of the preview this tick.
struct ClockInputs {
  CompFrameTiming timing;         // reduced frame duration and duration
  int64_t work_first = -1;        // work area frame indexes; negative: unset end
  int64_t work_last = -1;
  uint64_t frame_batch_limit = 1; // the preview's frame-batch limit
  bool delivery_optimize = true;  // VELOCINTA_DELIVERY_OPTIMIZE
  uint64_t now_ns = 0;            // monotonic
};

// The clock's grid in the shown time's scale: frame duration fd (exact,
// 1 ≤ fd ≤ i32) and frame count (at least 2: no clock for one frame).
struct ClockGrid {
  uint32_t scale = 0;
  int64_t fd = 0;
  int64_t count = 0;
};
std::optional<ClockGrid> clock_grid(uint32_t scale, const CompFrameTiming& timing);
// The frame index of a shown time on that grid (rounded down).
int64_t shown_frame_of(FrameKey shown, const ClockGrid& grid);
// How many frames ahead of the shown one the clock looks for ready frames.
int64_t clock_look_ahead(const ClockGrid& grid, const ClockInputs& in);

// Hands a frame to the panel; whether it was taken for presentation.
using PresentFrameFn = std::function<bool(const RgbaFrame&, FrameKey)>;

// One clock step. True when the presentation it awaited has just been
// confirmed and moved `shown_time`.
bool advance_playback_clock(PlaybackClock& clock, FrameCache& cache, const ClockInputs& in,
                            const PresentFrameFn& present);

// The loop bounds lo..hi over `count` frames: an unset start means 0, an
// unset end the last frame.
std::pair<int64_t, int64_t> playback_loop_bounds(int64_t work_first, int64_t work_last, int64_t count);

// The frame index nearest to `seconds` on a grid of `fd` / `scale` seconds.
int64_t nearest_frame_index(double seconds, int64_t fd, uint32_t scale);

// Counts the frames that fell due after the clock's last step, as it stops
// playing: a pause between two ticks would otherwise hide them. Call it
// before the pause resets the clock's time base.
void count_missed_before_stop(PlaybackClock& clock, const ClockInputs& in);

enum class PlaybackMode { PlayToggle = 0, Hold = 1, Release = 2, ReleaseAlt = 3 };

struct ModeContext {
  bool block = false;                  // the preview's playback block flag
  bool has_item = false;               // the preview has a current item
  std::optional<CompFrameTiming> timing;
  std::function<void()> invalidate;    // invalidates the presentation
};

// Applies a play or position control; a pause settles on the frame whose
// presentation was confirmed.
void set_playback_mode(PlaybackClock& clock, PlaybackMode mode, bool toggle, const ModeContext& ctx);

// ceil(fs × dv / (fv × ds)) when dv ≥ 0 and ds ≠ 0.
std::optional<uint64_t> comp_frame_count(int64_t fv, uint64_t fs, int64_t dv, uint64_t ds);
// scale × fv divisible by fs; false for scale 0.
bool is_exact_in_scale(int64_t fv, uint64_t fs, uint32_t scale);

}  // namespace vel
