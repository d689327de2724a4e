// The Footage suite over solid and footage items, and the Layer Mask suite's
// mask count.
#include "hostsdk/footage_suite.h"
#include "hostsdk/mask_suite.h"
#include "suites/layer_ref.h"
#include "suites/suites.h"

namespace sim {
namespace {

// The layer whose solid or footage item `item` is.
LayerRef layer_of_item(AEGP_ItemH item) {
  auto a = layer_kind_address(item, HandleTag::solid_item);
  if (!a) a = layer_kind_address(item, HandleTag::footage_item);
  if (!a) return LayerRef{};
  return resolve_layer_at(*a);
}

A_Err GetMainFootageFromItem(AEGP_ItemH item, AEGP_FootageH* footage) {
  SIM_FAULT_POINT();
  if (!footage) return A_Err_PARAMETER;
  *footage = nullptr;
  LayerRef ref = layer_of_item(item);
  if (!ref.layer || (!ref.layer->solid && !ref.layer->footage)) return A_Err_PARAMETER;
  *footage = layer_kind_handle<AEGP_FootageH>(HandleTag::footage, ref.address);
  return A_Err_NONE;
}

A_Err GetFootageSignature(AEGP_FootageH footage, AEGP_FootageSignature* signature) {
  SIM_FAULT_POINT();
  if (!signature) return A_Err_PARAMETER;
  auto a = layer_kind_address(footage, HandleTag::footage);
  if (!a) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer_at(*a);
  if (!ref.layer) return A_Err_PARAMETER;
  if (ref.layer->solid) *signature = AEGP_FootageSignature_SOLID;
  else if (ref.layer->footage) *signature = ref.layer->footage->missing ? AEGP_FootageSignature_MISSING : AEGP_FootageSignature_NONE;
  else return A_Err_PARAMETER;
  return A_Err_NONE;
}

A_Err GetSolidFootageColor(AEGP_ItemH item, A_Boolean, AEGP_ColorVal* color) {
  SIM_FAULT_POINT();
  if (!color) return A_Err_PARAMETER;
  LayerRef ref = layer_of_item(item);
  if (!ref.layer || !ref.layer->solid) return A_Err_PARAMETER;
  const auto& c = ref.layer->solid->color;
  *color = AEGP_ColorVal{1.0, c[0], c[1], c[2]};
  return A_Err_NONE;
}

A_Err GetLayerNumMasks(AEGP_LayerH layer, A_long* num) {
  SIM_FAULT_POINT();
  if (!num) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(layer);
  if (!ref.layer) return A_Err_PARAMETER;
  *num = static_cast<A_long>(ref.layer->mask_count);
  return A_Err_NONE;
}

const AEGP_FootageSuite11 kFootage = {GetMainFootageFromItem, GetFootageSignature, GetSolidFootageColor};
const AEGP_LayerMaskSuite7 kMask = {GetLayerNumMasks};

}  // namespace

void publish_footage_suite(SuiteRegistry& r) { r.publish(kAEGPFootageSuite, kAEGPFootageSuiteVersion11, &kFootage); }
void publish_mask_suite(SuiteRegistry& r) { r.publish(kAEGPLayerMaskSuite, kAEGPLayerMaskSuiteVersion7, &kMask); }

}  // namespace sim
