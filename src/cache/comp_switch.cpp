#include "cache/comp_switch.h"

#include <algorithm>

#include "cache/archive.h"
#include "cache/eviction.h"
#include "cache/frame_cache_ops.h"
#include "cache/unpack_worker.h"

namespace vel {

CompActivationOutcome activate_comp_cache(FrameCache& cache, const CompActivation& activation) {
  CompActivationOutcome out;
  if (activation.outgoing_comp) out.set_aside_frames = set_aside_comp_frames(cache, *activation.outgoing_comp);
  if (activation.drop_comp) drop_cached_comp(cache, *activation.drop_comp);
  // The restore enforces the budget: under the outgoing composition's limit
  // a long composition coming back would lose the frames a short one had no
  // room for.
  cache.frame_limit = std::min(activation.frame_count, kMaxFrameLimit);
  if (activation.restore_comp) out.restored_frames = restore_cached_comp(cache, *activation.restore_comp);
  out.comp_key = activation.comp_name.value_or(std::string());
  set_playhead_focus(cache, activation.focus);
  out.focus_frame_raw = request_frame_unpack(cache, activation.focus, true);
  enforce_cache_budget(cache);
  return out;
}

}  // namespace vel
