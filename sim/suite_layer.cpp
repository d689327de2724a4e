#include "handles.h"
#include "host.h"
#include "hostsdk/layer_suite.h"
#include "project_json.h"
#include "suites.h"

namespace sim {
namespace {

static_assert(kMaxLayers <= (1u << kLayerIndexBits), "layer handles must hold every layer index");

struct LayerRef {
  ProjectSnapshot snap;
  const Layer* layer = nullptr;
  LayerAddress address;
};

LayerRef resolve(AEGP_LayerH handle) {
  LayerRef ref;
  auto a = layer_kind_address(handle, HandleTag::layer);
  if (!a) return ref;
  ref.snap = host().project.snapshot();
  ref.layer = find_layer(*ref.snap, *a);
  ref.address = *a;
  return ref;
}

A_Err GetCompNumLayers(AEGP_CompH comp, A_long* n) {
  if (!n) return A_Err_PARAMETER;
  auto id = handle_id(comp, HandleTag::comp);
  if (!id) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  const Composition* c = find_comp(*snap, *id);
  if (!c) return A_Err_PARAMETER;
  *n = static_cast<A_long>(c->layers.size());
  return A_Err_NONE;
}

A_Err GetCompLayerByIndex(AEGP_CompH comp, A_long index, AEGP_LayerH* layer) {
  if (!layer) return A_Err_PARAMETER;
  *layer = nullptr;
  auto id = handle_id(comp, HandleTag::comp);
  if (!id) return A_Err_PARAMETER;
  ProjectSnapshot snap = host().project.snapshot();
  const Composition* c = find_comp(*snap, *id);
  if (!c || index < 0 || static_cast<size_t>(index) >= c->layers.size()) return A_Err_PARAMETER;
  *layer = layer_handle(LayerAddress{*id, static_cast<uint32_t>(index)});
  return A_Err_NONE;
}

A_Err GetLayerFlags(AEGP_LayerH handle, AEGP_LayerFlags* flags) {
  if (!flags) return A_Err_PARAMETER;
  LayerRef ref = resolve(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  AEGP_LayerFlags f = 0;
  if (ref.layer->enabled) f |= AEGP_LayerFlag_VIDEO_ACTIVE;
  if (ref.layer->three_d) f |= AEGP_LayerFlag_LAYER_IS_3D;
  *flags = f;
  return A_Err_NONE;
}

// A solid layer shows a solid footage item; a layer without a source has none.
A_Err GetLayerSourceItem(AEGP_LayerH handle, AEGP_ItemH* item) {
  if (!item) return A_Err_PARAMETER;
  *item = nullptr;
  LayerRef ref = resolve(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  if (ref.layer->solid) *item = solid_item_handle(ref.address);
  return A_Err_NONE;
}

A_Err GetLayerObjectType(AEGP_LayerH handle, AEGP_ObjectType* type) {
  if (!type) return A_Err_PARAMETER;
  if (!resolve(handle).layer) return A_Err_PARAMETER;
  *type = AEGP_ObjectType_AV;
  return A_Err_NONE;
}

const AEGP_LayerSuite13 kSuite13 = {GetCompNumLayers, GetCompLayerByIndex, GetLayerFlags, GetLayerSourceItem};
const AEGP_LayerSuite15 kSuite15 = {GetCompNumLayers, GetCompLayerByIndex, GetLayerFlags, GetLayerSourceItem,
                                    GetLayerObjectType};

}  // namespace

void publish_layer_suite(SuiteRegistry& r) {
  r.publish(kAEGPLayerSuite, kAEGPLayerSuiteVersion13, &kSuite13);
  r.publish(kAEGPLayerSuite, kAEGPLayerSuiteVersion15, &kSuite15);
}

}  // namespace sim
