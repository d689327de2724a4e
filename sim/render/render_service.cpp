#include "render/render_service.h"

#include <chrono>
#include <thread>

#include "render/renderer.h"
#include "suites/handles.h"

namespace sim {

RenderOutcome render_to_world(const Project& project, const RenderOptionsRec& options,
                              const std::atomic<bool>* cancel) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  RenderOutcome out;
  const Composition* comp = find_comp(project, options.item_id);
  if (!comp) {
    out.err = A_Err_PARAMETER;
    out.text = "the composition is no longer in the project";
    return out;
  }
  RenderRequest req;
  req.time = HostTime{options.time.value, options.time.scale};
  req.downsample_x = options.downsample_x;
  req.downsample_y = options.downsample_y;
  req.depth = world_depth(options.world_type);
  Result<RenderedFrame> frame = render_composition(*comp, req);
  if (!frame) {
    out.err = A_Err_GENERIC;
    out.text = frame.error();
    return out;
  }

  // A heavy composition is emulated by waiting until its cost has elapsed.
  const auto until = start + std::chrono::milliseconds(comp->render_cost_ms);
  while (Clock::now() < until) {
    if (cancel && cancel->load(std::memory_order_acquire)) break;
    std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(2)));
  }
  if (cancel && cancel->load(std::memory_order_acquire)) {
    out.cancelled = true;
    return out;
  }
  out.world = make_world(frame.value(), options.world_type);
  return out;
}

}  // namespace sim
