#include "plugin/strip_columns.h"

#include "core/saturating.h"
#include "panel/cache_strip.h"

namespace vel {

namespace {

// Counts `key`'s frame into its columns (`by` 1) or out of them (`by` −1).
void count_key(StripColumnsMemo& memo, const PreviewController& ctl, FrameKey key, int by) {
  sat_inc(memo.keys_visited);
  const std::optional<int64_t> f = frame_of_key(ctl, key);
  if (!f) return;
  const std::optional<std::pair<uint32_t, uint32_t>> columns =
      strip_frame_columns(ctl.frame_count, memo.basis->width, *f);
  if (!columns) return;
  const auto [first, last] = *columns;
  for (uint32_t x = first; x <= last; ++x) {
    memo.counts[x] = by > 0 ? memo.counts[x] + 1 : memo.counts[x] - 1;
    memo.lit[x] = memo.counts[x] > 0 ? 1 : 0;
  }
}

}  // namespace

const std::vector<uint8_t>& cached_strip_columns(StripColumnsMemo& memo, const PreviewController& ctl,
                                                 const FrameCache& cache, uint32_t width) {
  const StripColumnsMemo::Basis basis{ctl.frame_count, ctl.timing, width};
  if (memo.basis == basis && cache.key_changes.can_follow(memo.cache_seen)) {
    // A frame replaced by a larger one keeps its columns.
    cache.key_changes.follow(memo.cache_seen, [&](FrameKey key, KeyChange change) {
      if (change == KeyChange::Came) count_key(memo, ctl, key, 1);
      if (change == KeyChange::Went) count_key(memo, ctl, key, -1);
    });
  } else {
    memo.basis = basis;
    memo.counts.assign(width, 0);
    memo.lit.assign(width, 0);
    sat_inc(memo.passes);
    for (const auto& [key, entry] : cache.index) count_key(memo, ctl, key, 1);
  }
  memo.cache_seen = cache.key_changes.cursor();
  return memo.lit;
}

}  // namespace vel
