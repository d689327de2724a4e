#include "panel/present/playback_clock.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "cache/frame_cache_ops.h"
#include "panel/present/present_request.h"
#include "panel/present/present_telemetry.h"

namespace vel {
namespace {

using i128 = __int128;

using Grid = ClockGrid;

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t saturating_add(int64_t a, int64_t b) {
  const i128 s = static_cast<i128>(a) + b;
  return static_cast<int64_t>(std::clamp<i128>(s, INT64_MIN, INT64_MAX));
}

// Loop order over lo..hi, in 128 bits: a loop may span the whole int64 range.
struct LoopOrder {
  int64_t lo, hi;
  i128 span() const { return static_cast<i128>(hi) - lo + 1; }
  bool holds(std::optional<int64_t> f) const { return f && *f >= lo && *f <= hi; }
  // Steps forward from `a` to `b`, less than a loop.
  i128 forward(int64_t a, int64_t b) const { return ((static_cast<i128>(b) - a) % span() + span()) % span(); }
  // Where the picture stood when the marks' `through` was counted.
  int64_t origin(const MissedMarks& marks) const { return holds(marks.from) ? *marks.from : *marks.through; }
};

// The confirmed presentation of the awaited frame, checked against the
// awaited index on the nearest-frame grid. Whatever the answer, an awaited
// presentation that was taken is no longer awaited.
std::optional<std::pair<int64_t, uint64_t>> confirmed_awaited(PlaybackClock& clock, const PresentRequest& request,
                                                              const Grid& grid) {
  const AwaitedPresentation a = *clock.awaiting;
  auto got = take_awaited_presentation(request, a.time);
  if (!got) return std::nullopt;
  clock.awaiting.reset();
  if (got->present_no <= a.present_no_at_await) return std::nullopt;
  if (nearest_frame_index(got->frame_time, grid.fd, grid.scale) != a.index) return std::nullopt;
  return std::make_pair(a.index, got->present_no);
}

// Moves the shown frame to `index`; false when its time leaves 32 bits.
bool show_index(PlaybackClock& clock, const PresentRequest& request, int64_t index, const Grid& grid,
                int64_t shown_index) {
  const i128 value = static_cast<i128>(index) * grid.fd;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  clock.shown_time = FrameKey{static_cast<int32_t>(value), grid.scale};
  if (index != shown_index) record_clock_event(request, "cpu", static_cast<double>(value) / grid.scale);
  return true;
}

// Restarts the time base at `index`, shown behind the due frame: it counts
// as on screen from when the due frame fell due, `advanced` frames into the
// old base, so that no time falls between the two bases and every frame
// period of the run is due in one of them. The frames after `index` fall due
// again in the new base and count again if they are missed again.
void restart_time_base(PlaybackClock& clock, int64_t index, int64_t shown_index, int64_t advanced, const Grid& grid,
                       uint64_t now_ns) {
  const double into_ns = static_cast<double>(advanced) * static_cast<double>(grid.fd) * 1e9 / grid.scale;
  const uint64_t since = now_ns > *clock.anchor_ns ? now_ns - *clock.anchor_ns : 0;
  clock.anchor_ns = *clock.anchor_ns + (into_ns < static_cast<double>(since) ? static_cast<uint64_t>(into_ns) : since);
  clock.anchor_index = index;
  // The frames up to `index` are settled: shown, on their way or counted.
  clock.missed_marks = MissedMarks{index, std::nullopt, shown_index};
}

// Where the running clock stands at `in.now_ns`: the frame due then, in
// loop order over lo..hi, and how many frame periods have passed since the
// anchor.
struct DuePosition {
  int64_t due = 0;
  int64_t advanced = 0;
  int64_t lo = 0;
  int64_t hi = 0;
};

DuePosition due_position(const PlaybackClock& clock, const Grid& grid, const ClockInputs& in) {
  const double seconds =
      in.now_ns > *clock.anchor_ns ? static_cast<double>(in.now_ns - *clock.anchor_ns) / 1e9 : 0.0;
  const double frames = std::trunc(static_cast<double>(grid.scale) / grid.fd * seconds);
  const int64_t advanced = frames >= 9.2e18 ? INT64_MAX : static_cast<int64_t>(frames);

  const auto [lo, hi] = playback_loop_bounds(in.work_first, in.work_last, grid.count);
  const int64_t base = clock.anchor_index > hi || clock.anchor_index < lo ? lo : clock.anchor_index;
  const int64_t position = saturating_add(base, advanced);
  const i128 span = static_cast<i128>(hi) - lo + 1;
  i128 offset = (static_cast<i128>(position) - lo) % span;
  if (offset < 0) offset += span;
  return DuePosition{static_cast<int64_t>(lo + offset), advanced, lo, hi};
}

}  // namespace

void count_missed_before_stop(PlaybackClock& clock, const ClockInputs& in) {
  if (!clock.playing || !clock.anchor_ns || !clock.shown_time || clock.shown_time->scale == 0) return;
  const auto grid = clock_grid(clock.shown_time->scale, in.timing);
  if (!grid) return;
  const int64_t shown_index = floor_div(clock.shown_time->value, grid->fd);
  const DuePosition at = due_position(clock, *grid, in);
  if (at.due == shown_index) return;
  // The frames whose time ended before the stop; the due one's was cut short.
  const int64_t ended = previous_in_loop(at.due, at.lo, at.hi);
  // The frame handed over and not yet confirmed is on its way to the screen.
  const std::optional<int64_t> on_its_way =
      clock.awaiting ? std::optional<int64_t>(clock.awaiting->index) : std::nullopt;
  clock.missed += count_missed_frames(clock.missed_marks, shown_index, ended, at.lo, at.hi, on_its_way);
}

PlaybackClock restarted_clock(const PlaybackClock& clock) {
  PlaybackClock fresh;
  fresh.paused = clock.paused;
  fresh.held = clock.held;
  fresh.playing = !fresh.paused && !fresh.held;
  return fresh;
}

std::optional<ClockGrid> clock_grid(uint32_t scale, const CompFrameTiming& t) {
  if (scale == 0 || t.frame_value <= 0 || t.frame_scale == 0) return std::nullopt;
  const i128 num = static_cast<i128>(t.frame_value) * scale;
  if (num % t.frame_scale != 0) return std::nullopt;
  const i128 fd = num / t.frame_scale;
  if (fd < 1 || fd > INT32_MAX) return std::nullopt;
  if (t.duration_value < 0 || t.duration_scale == 0) return std::nullopt;
  const int64_t g = std::gcd(static_cast<int64_t>(fd), static_cast<int64_t>(scale));
  const i128 n_num = static_cast<i128>(scale / g) * t.duration_value;
  const i128 n_den = static_cast<i128>(fd / g) * t.duration_scale;
  const i128 n = (n_num + n_den - 1) / n_den;
  if (n < 2 || n > INT64_MAX) return std::nullopt;
  return ClockGrid{scale, static_cast<int64_t>(fd), static_cast<int64_t>(n)};
}

int64_t shown_frame_of(FrameKey shown, const ClockGrid& grid) { return floor_div(shown.value, grid.fd); }

int64_t clock_look_ahead(const ClockGrid& grid, const ClockInputs& in) {
  if (!in.delivery_optimize) return 16;
  const int64_t per_second = (static_cast<int64_t>(grid.scale) + grid.fd - 1) / grid.fd;
  const int64_t batch = static_cast<int64_t>(std::clamp<uint64_t>(in.frame_batch_limit, 1, 240));
  return 2 * std::min(per_second, batch);
}

int64_t nearest_frame_index(double seconds, int64_t fd, uint32_t scale) {
  if (fd <= 0 || !std::isfinite(seconds)) return INT64_MIN;
  const double idx = std::round(seconds * scale / static_cast<double>(fd));
  if (!(idx > -9.2e18 && idx < 9.2e18)) return INT64_MIN;
  return static_cast<int64_t>(idx);
}

std::pair<int64_t, int64_t> playback_loop_bounds(int64_t work_first, int64_t work_last, int64_t count) {
  const int64_t last = count - 1;
  const int64_t lo = work_first < 0 ? 0 : std::min(work_first, last);
  const int64_t hi = work_last >= 0 ? std::max(lo, std::min(work_last, last)) : last;
  return {lo, hi};
}

void follow_picture(MissedMarks& marks, int64_t shown, int64_t lo, int64_t hi) {
  const LoopOrder loop{lo, hi};
  if (!loop.holds(marks.through) || !loop.holds(shown)) return;
  const int64_t then = loop.origin(marks);
  if (loop.forward(then, shown) >= loop.forward(then, *marks.through)) marks.through.reset(), marks.from.reset();
}

uint64_t count_missed_frames(MissedMarks& marks, int64_t from, int64_t to, int64_t lo, int64_t hi,
                             std::optional<int64_t> shown) {
  if (lo > hi || to < lo || to > hi) {
    if (to == from || to == shown || marks.last == to) return 0;
    marks.last = to;
    return 1;
  }
  // A picture outside the loop enters it at its first frame: it stands as
  // if on the frame before it, so that every frame from the first on that
  // fell due counts.
  if (from < lo || from > hi) from = previous_in_loop(lo, lo, hi);
  // Counted by arithmetic, not frame by frame: at a rate of billions of
  // frames a second one late wake steps over more frames than a thread can
  // walk before the host quits.
  const LoopOrder loop{lo, hi};
  // The steps ahead of `from` already counted: those counted ahead of the
  // picture's position then, less the way it has come since.
  i128 counted = 0;
  if (loop.holds(marks.through)) {
    const int64_t then = loop.origin(marks);
    const i128 ahead_then = loop.forward(then, *marks.through), moved = loop.forward(then, from);
    counted = ahead_then > moved ? ahead_then - moved : 0;
  }
  const i128 reach = loop.forward(from, to);
  if (reach <= counted) return 0;
  // The frames at steps counted + 1 .. reach are distinct (less than a
  // loop); the one going on screen among them is not missed.
  const bool steps_over_shown =
      loop.holds(shown) && loop.forward(from, *shown) > counted && loop.forward(from, *shown) <= reach;
  const i128 n = reach - counted - (steps_over_shown ? 1 : 0);
  if (n > 0) marks.last = to == shown ? previous_in_loop(to, lo, hi) : to;
  marks.through = to;
  marks.from = from;
  return static_cast<uint64_t>(n);
}

bool advance_playback_clock(PlaybackClock& clock, FrameCache& cache, const ClockInputs& in,
                            const PresentFrameFn& present) {
  if (!clock.shown_time || clock.shown_time->scale == 0) return false;
  const auto grid = clock_grid(clock.shown_time->scale, in.timing);
  if (!grid) return false;
  const int64_t shown_index = floor_div(clock.shown_time->value, grid->fd);

  const std::pair<int64_t, int64_t> loop = playback_loop_bounds(in.work_first, in.work_last, grid->count);
  if (!clock.anchor_ns || clock.anchor_loop != loop) {
    clock.anchor_ns = in.now_ns;
    // The frame handed over is on its way to the screen: the run goes on from it.
    clock.anchor_index = clock.awaiting ? clock.awaiting->index : shown_index;
    clock.anchor_loop = loop;
    clock.missed_marks = {};  // a new time base: every frame falls due anew
    return false;
  }
  const DuePosition position = due_position(clock, *grid, in);
  const int64_t due = position.due, advanced = position.advanced, lo = position.lo, hi = position.hi;

  const PresentRequest request = read_present_request();
  bool moved = false;
  int64_t t = shown_index;
  if (clock.awaiting && clock.awaiting->seq != request.seq) {
    clock.awaiting.reset();
  } else if (clock.awaiting) {
    auto confirmed = confirmed_awaited(clock, request, *grid);
    if (!confirmed) return false;
    if (!show_index(clock, request, confirmed->first, *grid, shown_index)) return false;
    follow_picture(clock.missed_marks, confirmed->first, lo, hi);
    clock.last_present_no = confirmed->second;
    moved = true;
    t = confirmed->first;
  }
  if (auto p = presented_for_request(request)) clock.last_present_no = p->present_no;

  // From a frame outside the loop playback enters it at its first frame:
  // the ready frames are looked for from there.
  const int64_t entry = t >= lo && t <= hi ? t : lo;
  NeighbourList list = neighbour_frames(cache, entry, grid->fd, grid->scale, lo, hi, clock_look_ahead(*grid, in));

  const NeighbourFrame* chosen = nullptr;
  if (lo <= due && due <= hi && list) {
    const int64_t c = entry;
    auto largest_in = [&](int64_t a, int64_t b) {
      const NeighbourFrame* best = nullptr;
      for (const NeighbourFrame& f : *list) {
        if (f.frame >= a && f.frame <= b && (!best || f.frame > best->frame)) best = &f;
      }
      return best;
    };
    if (due >= c) {
      chosen = largest_in(c, due);
    } else {
      chosen = largest_in(lo, due);
      if (!chosen) chosen = largest_in(c, hi);
    }
  }
  // Frames whose time on screen has ended without them: those a late tick
  // stepped over, those that were not ready, and the one going on screen
  // now behind the due frame (it shows late, in the due frame's time). The
  // due frame's own time is still running: it may yet be shown in it. A
  // stall counts once per frame that fell due, however many ticks it lasts.
  if (lo <= due && due <= hi && due != t) {
    clock.missed += count_missed_frames(clock.missed_marks, t, previous_in_loop(due, lo, hi), lo, hi, std::nullopt);
  }
  if (chosen && chosen->frame != t) {
    await_present_request(request, chosen->time);
    const RgbaFrame frame{chosen->pixels, chosen->time, chosen->width, chosen->height};
    // A frame the panel did not take will never be confirmed: nothing is
    // awaited for it, and the next step chooses again.
    const FrameKey key{static_cast<int32_t>(chosen->frame * grid->fd), grid->scale};
    if (present && present(frame, key)) {
      clock.awaiting = AwaitedPresentation{request.seq, chosen->frame, chosen->time, clock.last_present_no};
    }
    if (chosen->frame != due) restart_time_base(clock, chosen->frame, t, advanced, *grid, in.now_ns);
  }
  return moved;
}

void set_playback_mode(PlaybackClock& clock, PlaybackMode mode, bool toggle, const ModeContext& ctx) {
  switch (mode) {
    case PlaybackMode::PlayToggle:
      clock.paused = clock.paused != toggle;
      break;
    case PlaybackMode::Hold:
      clock.held = true;
      break;
    case PlaybackMode::Release:
    case PlaybackMode::ReleaseAlt:
      clock.held = false;
      break;
  }
  clock.playing = !clock.paused && !clock.held && !ctx.block;
  clock.anchor_ns.reset();

  if (clock.paused && clock.awaiting) {
    if (ctx.has_item && clock.shown_time && ctx.timing) {
      if (auto grid = clock_grid(clock.shown_time->scale, *ctx.timing)) {
        const PresentRequest request = read_present_request();
        const int64_t shown_index = floor_div(clock.shown_time->value, grid->fd);
        if (clock.awaiting->seq == request.seq) {
          if (auto confirmed = confirmed_awaited(clock, request, *grid);
              confirmed && show_index(clock, request, confirmed->first, *grid, shown_index)) {
            clock.last_present_no = confirmed->second;
          }
        }
      }
    }
    if (ctx.invalidate) ctx.invalidate();
    clock.saved_shown_time = clock.shown_time;
  }
  clock.awaiting.reset();
}

std::optional<uint64_t> comp_frame_count(int64_t fv, uint64_t fs, int64_t dv, uint64_t ds) {
  if (dv < 0 || ds == 0 || fv <= 0) return std::nullopt;
  const unsigned __int128 num = static_cast<unsigned __int128>(fs) * static_cast<uint64_t>(dv);
  const unsigned __int128 den = static_cast<unsigned __int128>(static_cast<uint64_t>(fv)) * ds;
  const unsigned __int128 n = (num + den - 1) / den;
  if (n > UINT64_MAX) return std::nullopt;
  return static_cast<uint64_t>(n);
}

bool is_exact_in_scale(int64_t fv, uint64_t fs, uint32_t scale) {
  if (scale == 0 || fs == 0) return false;
  return (static_cast<i128>(scale) * fv) % static_cast<i128>(fs) == 0;
}

}  // namespace vel
