#include "cache/focus_distance.h"

#include <iterator>
#include <limits>

namespace vel {

namespace {

int64_t sat_abs_diff(int64_t a, int64_t b) {
  __int128 d = static_cast<__int128>(a) - b;
  if (d < 0) d = -d;
  return d > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(d);
}

bool in_range(const MicrosRange& r, int64_t t) { return t >= r.start && t < r.end; }

}  // namespace

int64_t distance_from_focus(FrameKey focus, const MicrosRange& r, FrameKey key) {
  int64_t t = key_micros(key);
  int64_t f = key_micros(focus);
  if (!r.valid || r.end <= r.start || !in_range(r, f)) return sat_abs_diff(t, f);
  if (in_range(r, t)) {
    // A work range may span more than half the i64 line (its ends saturate):
    // the span and the difference are taken in 128 bits.
    const __int128 span = static_cast<__int128>(r.end) - r.start;
    __int128 m = (static_cast<__int128>(t) - f) % span;
    if (m < 0) m += span;
    return m > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(m);
  }
  __int128 far = static_cast<__int128>(sat_abs_diff(t, f)) + ((int64_t{1} << 62) - 1);
  return far > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(far);
}

std::optional<TimedKey> farthest_key_from(FrameKey focus, const MicrosRange& range, const std::set<TimedKey>& set) {
  if (set.empty()) return std::nullopt;
  TimedKey candidates[3];
  int n = 0;
  candidates[n++] = *set.begin();
  candidates[n++] = *set.rbegin();
  auto below = set.lower_bound(TimedKey{key_micros(focus), FrameKey{std::numeric_limits<int32_t>::min(), 0}});
  if (below != set.begin()) candidates[n++] = *std::prev(below);

  std::optional<TimedKey> best;
  int64_t best_distance = 0;
  for (int i = 0; i < n; ++i) {
    if (candidates[i].key == focus) continue;
    int64_t d = distance_from_focus(focus, range, candidates[i].key);
    if (!best || d >= best_distance) {  // on a tie the later candidate wins
      best = candidates[i];
      best_distance = d;
    }
  }
  return best;
}

}  // namespace vel
