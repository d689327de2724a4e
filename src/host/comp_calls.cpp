#include "host/comp_calls.h"

#include "host/suite_access.h"

namespace vel {

Result<std::optional<CompH>, AeError> comp_from_item(ItemH item) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  AEGP_CompH comp = nullptr;
  if (auto st = check_ae(comps->GetCompFromItem(item, &comp)); !st) return Err{st.error()};
  if (!comp) return std::optional<CompH>{};
  return std::optional<CompH>{comp};
}

Result<ItemH, AeError> item_from_comp(CompH comp) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  AEGP_ItemH item = nullptr;
  if (auto st = check_ae(comps->GetItemFromComp(comp, &item)); !st) return Err{st.error()};
  if (!item) return Err{AeError::internal("GetItemFromComp: null item")};
  return item;
}

Result<HostTime, AeError> comp_frame_duration(CompH comp) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  A_Time t{0, 0};
  if (auto st = check_ae(comps->GetCompFrameDuration(comp, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<double, AeError> comp_framerate(CompH comp) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  A_FpLong fps = 0;
  if (auto st = check_ae(comps->GetCompFramerate(comp, &fps)); !st) return Err{st.error()};
  return fps;
}

Result<ColorArgb, AeError> comp_bg_color(CompH comp) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  AEGP_ColorVal c{};
  if (auto st = check_ae(comps->GetCompBGColor(comp, &c)); !st) return Err{st.error()};
  return ColorArgb{c.alpha, c.red, c.green, c.blue};
}

Result<int32_t, AeError> comp_num_layers(CompH comp) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  A_long n = 0;
  if (auto st = check_ae(layers->GetCompNumLayers(comp, &n)); !st) return Err{st.error()};
  return n;
}

Result<WorkArea, AeError> comp_work_area(CompH comp) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  A_Time start{0, 0}, dur{0, 0};
  if (auto st = check_ae(comps->GetCompWorkAreaStart(comp, &start)); !st) return Err{st.error()};
  if (auto st = check_ae(comps->GetCompWorkAreaDuration(comp, &dur)); !st) return Err{st.error()};
  return WorkArea{{start.value, start.scale}, {dur.value, dur.scale}};
}

Status<AeError> set_comp_work_area(CompH comp, HostTime start, HostTime duration) {
  VEL_TRY_SUITE(comps, AEGP_CompSuite25);
  A_Time s{start.value, start.scale}, d{duration.value, duration.scale};
  return check_ae(comps->SetCompWorkAreaStartAndDuration(comp, &s, &d));
}

}  // namespace vel
