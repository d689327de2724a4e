#include "preview/delivery.h"

namespace vel {

DeliveryDecision decide_delivery(const DeliveryInputs& in) {
  if (!in.has_comp) return {Producer::None, false, "no_comp"};
  if (in.modal) return {Producer::None, false, "modal"};
  // Frames still on their way are not cached yet: saying so would mislead
  // whoever reads the log for why nothing renders.
  if (in.missing_frames == 0) {
    return {Producer::None, false, in.renders_in_flight == 0 ? "all_cached" : "awaiting_renders"};
  }
  // Rendering while the user is still editing would be thrown away.
  if (!in.edit_quiet) return {Producer::None, false, "edit_settling"};
  if (in.raster_ready) return {Producer::Raster, false, "raster"};
  // The playhead's frame is what the user waits for: render it now.
  if (in.current_missing) return {Producer::InProcessSync, false, "current_frame"};
  // The least rule: with the pool on and ready for a batch, every missing
  // frame no other producer has pending goes to the pool.
  if (in.pool_ready) return {Producer::Pool, true, "pool_next_batch_ready"};
  // The pool has the rest: a batch runs or the next one is about to start.
  // The main thread rendering them meanwhile only slows the drain of the
  // frames the workers already made. Frames the batch gave up are nobody's
  // but ours: left there, silent workers would starve the preview.
  if (in.pool_engaged && !in.pool_gave_up) return {Producer::None, false, "pool_engaged"};
  // The rest goes to the host's render manager rather than the main thread,
  // unless it stopped delivering what it was given.
  if (in.async_available && in.async_stalled) return {Producer::InProcessSync, false, "async_stalled"};
  if (in.async_available) return {Producer::InProcessAsync, false, "async_prefetch"};
  return {Producer::InProcessSync, false, "sync_sweep"};
}

std::string delivery_perf_line(const DeliveryDecision& d) {
  return std::string("DELIVERY use_pool=") + (d.use_pool ? "true" : "false") + " reason=" + std::string(d.reason);
}

const char* producer_name(Producer p) {
  switch (p) {
    case Producer::None:
      return "None";
    case Producer::Raster:
      return "Raster";
    case Producer::InProcessSync:
      return "InProcessSync";
    case Producer::InProcessAsync:
      return "InProcessAsync";
    case Producer::Pool:
      return "Pool";
  }
  return "None";
}

}  // namespace vel
