#include "preview/loop_window.h"

namespace vel {

namespace {

int64_t span_of(const LoopWindow& w) { return w.bounds.last - w.bounds.first + 1; }

int64_t non_negative_mod(int64_t a, int64_t m) {
  const int64_t r = a % m;
  return r < 0 ? r + m : r;
}

// `count` frames of the circle from offset `offset` of `w` on, as runs that
// do not wrap.
FrameRuns runs_from(const LoopWindow& w, int64_t offset, int64_t count) {
  FrameRuns out;
  if (count <= 0) return out;
  const int64_t first = loop_window_frame(w, offset);
  const int64_t to_end = w.bounds.last - first + 1;
  if (count <= to_end) {
    out.runs[out.count++] = {first, first + count - 1};
  } else {
    out.runs[out.count++] = {first, w.bounds.last};
    out.runs[out.count++] = {w.bounds.first, w.bounds.first + (count - to_end) - 1};
  }
  return out;
}

}  // namespace

int64_t loop_window_frame(const LoopWindow& w, int64_t offset) {
  return w.bounds.first + non_negative_mod(w.start - w.bounds.first + offset, span_of(w));
}

std::optional<int64_t> loop_window_offset(const LoopWindow& w, int64_t frame) {
  if (frame < w.bounds.first || frame > w.bounds.last) return std::nullopt;
  const int64_t o = non_negative_mod(frame - w.start, span_of(w));
  if (o >= w.length) return std::nullopt;
  return o;
}

std::optional<WindowMove> loop_window_move(const LoopWindow& from, const LoopWindow& to) {
  if (from.bounds != to.bounds || from.length != to.length) return std::nullopt;
  const int64_t span = span_of(to);
  const int64_t c = to.length;
  if (span <= 0 || c <= 0 || c > span) return std::nullopt;
  WindowMove m;
  // The whole loop in the window: the same frames, only the order turns.
  if (c == span) return m;
  const int64_t ahead = non_negative_mod(to.start - from.start, span);
  if (ahead == 0) return m;
  const int64_t back = span - ahead;
  // Forward by d: the first d frames leave, the d after the old end come.
  // Kept only while the newcomers do not reach round to the old start.
  if (ahead < c && ahead + c <= span) {
    m.left = runs_from(from, 0, ahead);
    m.entered = runs_from(from, c, ahead);
    return m;
  }
  if (back < c && back + c <= span) {
    m.entered = runs_from(to, 0, back);
    m.left = runs_from(from, c - back, back);
    return m;
  }
  return std::nullopt;
}

}  // namespace vel
