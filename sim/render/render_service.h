// One frame of a composition rendered into a world, as both the synchronous
// render suite and the asynchronous manager do it: the renderer's pixels,
// then the composition's render cost waited out (cut short by cancellation).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "hostsdk/render.h"
#include "project/project_model.h"
#include "render/world.h"

namespace sim {

struct RenderOptionsRec {
  uint32_t item_id = 0;
  A_Time time{0, 1};
  A_short downsample_x = 1;
  A_short downsample_y = 1;
  AEGP_WorldType world_type = AEGP_WorldType_8;
};

struct RenderOutcome {
  A_Err err = A_Err_NONE;
  bool cancelled = false;
  std::string text;               // why it failed
  std::unique_ptr<World> world;   // set on success
};

RenderOutcome render_to_world(const Project& project, const RenderOptionsRec& options,
                              const std::atomic<bool>* cancel);

}  // namespace sim
