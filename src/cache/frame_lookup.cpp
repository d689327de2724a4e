// Lookups of the cache: exact, nearest within a tolerance, the frames around
// the playhead, and the walk over the index for invalidation.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "cache/frame_cache_ops.h"

namespace vel {

namespace {

int64_t abs_diff(int64_t a, int64_t b) {
  __int128 d = static_cast<__int128>(a) - b;
  return clamp_i64(d < 0 ? -d : d);
}

}  // namespace

std::optional<RgbaFrame> cached_frame(const FrameCache& cache, FrameKey key) {
  auto it = cache.index.find(key);
  if (it == cache.index.end() || !it->second.is_raw()) return std::nullopt;
  return *it->second.raw();
}

std::optional<uint32_t> cached_frame_width(const FrameCache& cache, FrameKey key) {
  auto it = cache.index.find(key);
  if (it == cache.index.end()) return std::nullopt;
  return it->second.width();
}

bool contains_frame(const FrameCache& cache, FrameKey key) { return cache.index.contains(key); }

std::optional<FrameKey> nearest_cached_frame(const FrameCache& cache, int32_t value, uint32_t scale, double tolerance) {
  if (cache.index.empty()) return std::nullopt;
  const int64_t t = key_micros(FrameKey{value, scale});
  const int64_t tol = (std::isnan(tolerance) || tolerance < 0) ? 0 : saturating_i64(tolerance * 1'000'000.0);

  const TimeOrderedKeys& set = cache.all_frames;
  std::optional<TimedKey> p;
  std::optional<TimedKey> q;
  auto above = set.upper_bound(TimedKey{t, FrameKey{std::numeric_limits<int32_t>::max(), UINT32_MAX}});
  if (above != set.begin()) p = *std::prev(above);
  auto at_or_above = set.lower_bound(TimedKey{t, FrameKey{std::numeric_limits<int32_t>::min(), 0}});
  if (at_or_above != set.end()) q = *at_or_above;

  const bool p_ok = p && abs_diff(p->micros, t) <= tol;
  const bool q_ok = q && abs_diff(q->micros, t) <= tol;
  if (p_ok) {
    if (q_ok && abs_diff(q->micros, t) < abs_diff(p->micros, t)) return q->key;
    return p->key;
  }
  if (q_ok) return q->key;
  return std::nullopt;
}

NeighbourList neighbour_frames(FrameCache& cache, int64_t current, int64_t duration_value, uint32_t duration_scale,
                               int64_t first, int64_t last, int64_t ahead) {
  if (const auto& m = cache.neighbour_memo;
      m && m->generation == cache.generation && m->current == current && m->duration_value == duration_value &&
      m->duration_scale == duration_scale && m->first == first && m->last == last && m->ahead == ahead) {
    return m->list;
  }
  const __int128 span = std::max<__int128>(static_cast<__int128>(last) - first + 1, 1);
  const __int128 count = std::min<__int128>(span, static_cast<__int128>(ahead) + 13);
  const __int128 start = static_cast<__int128>(current) - 12;

  auto list = std::make_shared<std::vector<NeighbourFrame>>();
  list->reserve(static_cast<size_t>(std::clamp<__int128>(count, 0, static_cast<__int128>(cache.index.size()))));
  for (__int128 i = 0; i < count; ++i) {
    __int128 offset = (start + i - first) % span;
    if (offset < 0) offset += span;
    const __int128 f = first + offset;
    const __int128 value = f * duration_value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) continue;
    auto it = cache.index.find(FrameKey{static_cast<int32_t>(value), duration_scale});
    if (it == cache.index.end() || !it->second.is_raw()) continue;
    const RgbaFrame& raw = *it->second.raw();
    list->push_back(NeighbourFrame{static_cast<int64_t>(f), raw.pixels, raw.time, raw.width, raw.height});
  }
  NeighbourList shared = std::move(list);
  cache.neighbour_memo =
      NeighbourMemo{shared, cache.generation, current, duration_value, duration_scale, first, last, ahead};
  return shared;
}

MicrosRange frame_range_micros(int64_t duration_value, uint32_t duration_scale, int64_t first, int64_t last) {
  MicrosRange r;
  if (duration_value < 1 || duration_scale == 0 || last < first) return r;
  const __int128 next = static_cast<__int128>(last) + 1;
  r.start = clamp_i64(clamp_i64(clamp_i64(static_cast<__int128>(first) * duration_value) * __int128{1'000'000})) /
            static_cast<int64_t>(duration_scale);
  r.end = clamp_i64(clamp_i64(clamp_i64(next) * __int128{duration_value}) * __int128{1'000'000}) /
          static_cast<int64_t>(duration_scale);
  r.valid = r.end > r.start;
  return r;
}

std::optional<FrameKey> next_cached_key(FrameIndex::const_iterator& it, FrameIndex::const_iterator end,
                                        uint64_t multiplier, std::span<const std::pair<int64_t, int64_t>> ranges) {
  while (it != end) {
    const FrameKey key = (it++)->first;
    if (multiplier == 0 || key.value < 0 || key.scale == 0 || ranges.empty()) return key;
    bool held = false;
    for (const auto& [a, b] : ranges) {
      if (key.value == 0) {
        held = a <= 0 && 0 < b;
      } else {
        const __int128 s = key.scale;
        const __int128 vm = static_cast<__int128>(key.value) * multiplier;
        held = a * s < vm && vm < b * s;
      }
      if (held) break;
    }
    if (!held) return key;
  }
  return std::nullopt;
}

}  // namespace vel
