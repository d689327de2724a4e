#include "plugin/strip_columns.h"

#include "core/saturating.h"
#include "panel/cache_strip.h"

namespace vel {

const std::vector<uint8_t>& cached_strip_columns(StripColumnsMemo& memo, const PreviewController& ctl,
                                                 const FrameCache& cache, uint32_t width, bool redo) {
  const StripColumnsMemo::Basis basis{cache.generation, ctl.frame_count, ctl.timing, width};
  if (!redo && memo.basis == basis) return memo.lit;
  std::vector<int64_t> frames;
  frames.reserve(cache.index.size());
  for (const auto& [key, entry] : cache.index) {
    if (const std::optional<int64_t> f = frame_of_key(ctl, key)) frames.push_back(*f);
  }
  memo.lit = strip_columns(ctl.frame_count, width, frames);
  memo.basis = basis;
  sat_inc(memo.passes);
  return memo.lit;
}

}  // namespace vel
