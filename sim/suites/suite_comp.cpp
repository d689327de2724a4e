#include <cmath>

#include "hostsdk/comp_suite.h"
#include "simhost/host.h"
#include "suites/handles.h"
#include "suites/suites.h"

namespace sim {
namespace {

struct CompRef {
  ProjectSnapshot snap;
  const Composition* comp = nullptr;
};

CompRef resolve(AEGP_CompH handle) {
  CompRef ref;
  auto id = handle_id(handle, HandleTag::comp);
  if (!id) return ref;
  ref.snap = host().project.snapshot();
  ref.comp = find_comp(*ref.snap, *id);
  return ref;
}

A_Time to_a_time(HostTime t) { return A_Time{t.value, t.scale}; }

A_Err GetCompFromItem(AEGP_ItemH item, AEGP_CompH* comp) {
  SIM_FAULT_POINT();
  if (!comp) return A_Err_PARAMETER;
  *comp = nullptr;
  auto id = handle_id(item, HandleTag::item);
  if (!id) {
    // Another kind of item (a solid, a footage item) is no composition, and no error.
    auto solid = layer_kind_address(item, HandleTag::solid_item);
    if (!solid) solid = layer_kind_address(item, HandleTag::footage_item);
    return solid && find_layer(*host().project.snapshot(), *solid) ? A_Err_NONE : A_Err_PARAMETER;
  }
  ProjectSnapshot snap = host().project.snapshot();
  if (!find_comp(*snap, *id)) return A_Err_PARAMETER;
  *comp = comp_handle(*id);
  return A_Err_NONE;
}

A_Err GetItemFromComp(AEGP_CompH comp, AEGP_ItemH* item) {
  SIM_FAULT_POINT();
  if (!item) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *item = item_handle(ref.comp->id);
  return A_Err_NONE;
}

A_Err GetCompFrameDuration(AEGP_CompH comp, A_Time* fd) {
  SIM_FAULT_POINT();
  if (!fd) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *fd = to_a_time(ref.comp->frame_duration);
  return A_Err_NONE;
}

A_Err GetCompFramerate(AEGP_CompH comp, A_FpLong* fps) {
  SIM_FAULT_POINT();
  if (!fps) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *fps = static_cast<double>(ref.comp->frame_duration.scale) / ref.comp->frame_duration.value;
  return A_Err_NONE;
}

A_Err GetCompBGColor(AEGP_CompH comp, AEGP_ColorVal* color) {
  SIM_FAULT_POINT();
  if (!color) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *color = AEGP_ColorVal{1.0, ref.comp->bg_color[0], ref.comp->bg_color[1], ref.comp->bg_color[2]};
  return A_Err_NONE;
}

A_Err GetCompWorkAreaStart(AEGP_CompH comp, A_Time* start) {
  SIM_FAULT_POINT();
  if (!start) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *start = to_a_time(ref.comp->work_area_start);
  return A_Err_NONE;
}

A_Err GetCompWorkAreaDuration(AEGP_CompH comp, A_Time* duration) {
  SIM_FAULT_POINT();
  if (!duration) return A_Err_PARAMETER;
  CompRef ref = resolve(comp);
  if (!ref.comp) return A_Err_PARAMETER;
  *duration = to_a_time(ref.comp->work_area_duration);
  return A_Err_NONE;
}

A_Err SetCompWorkAreaStartAndDuration(AEGP_CompH comp, const A_Time* start, const A_Time* duration) {
  SIM_FAULT_POINT();
  if (!start || !duration || start->scale == 0 || duration->scale == 0) return A_Err_PARAMETER;
  if (!on_main_thread()) return A_Err_WRONG_THREAD;
  auto id = handle_id(comp, HandleTag::comp);
  if (!id) return A_Err_PARAMETER;
  HostTime s{start->value, start->scale}, d{duration->value, duration->scale};
  Status st = host().project.modify([&](Project& p) -> Status {
    for (Composition& c : p.comps) {
      if (c.id != *id) continue;
      double a = s.seconds(), b = a + d.seconds();
      if (a < 0 || d.value <= 0 || b > c.duration.seconds() + 1e-9) return fail("work area outside the composition");
      c.work_area_start = s;
      c.work_area_duration = d;
      return done();
    }
    return fail("no such composition");
  });
  return st ? A_Err_NONE : A_Err_PARAMETER;
}

const AEGP_CompSuite25 kSuite = {GetCompFromItem,      GetItemFromComp,         GetCompFrameDuration,
                                 GetCompFramerate,     GetCompBGColor,          GetCompWorkAreaStart,
                                 GetCompWorkAreaDuration, SetCompWorkAreaStartAndDuration};

}  // namespace

void publish_comp_suite(SuiteRegistry& r) { r.publish(kAEGPCompSuite, kAEGPCompSuiteVersion25, &kSuite); }

}  // namespace sim
