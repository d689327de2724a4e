#include "hostsdk/render.h"
#include "simhost/host.h"
#include "suites/handles.h"
#include "suites/suites.h"

namespace sim {
namespace {

RenderOptionsRec* find(AEGP_RenderOptionsH options) { return host().render_options.find(options); }

A_Err NewFromItem(AEGP_PluginID, AEGP_ItemH item, AEGP_RenderOptionsH* options) {
  if (!options) return A_Err_PARAMETER;
  *options = nullptr;
  auto id = handle_id(item, HandleTag::item);
  if (!id) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  if (!find_comp(*snap, *id)) return A_Err_PARAMETER;
  auto rec = std::make_unique<RenderOptionsRec>();
  rec->item_id = *id;
  *options = reinterpret_cast<AEGP_RenderOptionsH>(host().render_options.add(std::move(rec)));
  return A_Err_NONE;
}

A_Err Dispose(AEGP_RenderOptionsH options) {
  return host().render_options.take(options) ? A_Err_NONE : A_Err_PARAMETER;
}

A_Err SetTime(AEGP_RenderOptionsH options, A_Time time) {
  RenderOptionsRec* r = find(options);
  if (!r || time.scale == 0) return A_Err_PARAMETER;
  r->time = time;
  return A_Err_NONE;
}

A_Err GetTime(AEGP_RenderOptionsH options, A_Time* time) {
  RenderOptionsRec* r = find(options);
  if (!r || !time) return A_Err_PARAMETER;
  *time = r->time;
  return A_Err_NONE;
}

A_Err SetDownsampleFactor(AEGP_RenderOptionsH options, A_short x, A_short y) {
  RenderOptionsRec* r = find(options);
  if (!r || x < 1 || y < 1) return A_Err_PARAMETER;
  r->downsample_x = x;
  r->downsample_y = y;
  return A_Err_NONE;
}

A_Err GetDownsampleFactor(AEGP_RenderOptionsH options, A_short* x, A_short* y) {
  RenderOptionsRec* r = find(options);
  if (!r || !x || !y) return A_Err_PARAMETER;
  *x = r->downsample_x;
  *y = r->downsample_y;
  return A_Err_NONE;
}

A_Err SetWorldType(AEGP_RenderOptionsH options, AEGP_WorldType type) {
  RenderOptionsRec* r = find(options);
  if (!r || world_depth(type) == 0) return A_Err_PARAMETER;
  r->world_type = type;
  return A_Err_NONE;
}

A_Err GetWorldType(AEGP_RenderOptionsH options, AEGP_WorldType* type) {
  RenderOptionsRec* r = find(options);
  if (!r || !type) return A_Err_PARAMETER;
  *type = r->world_type;
  return A_Err_NONE;
}

const AEGP_RenderOptionsSuite4 kSuite = {NewFromItem,         Dispose,     SetTime,      GetTime,
                                         SetDownsampleFactor, GetDownsampleFactor, SetWorldType, GetWorldType};

}  // namespace

void publish_render_options_suite(SuiteRegistry& r) {
  r.publish(kAEGPRenderOptionsSuite, kAEGPRenderOptionsSuiteVersion4, &kSuite);
}

}  // namespace sim
