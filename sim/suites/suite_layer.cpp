#include "hostsdk/layer_suite.h"
#include "project/project_json.h"
#include "simhost/host.h"
#include "suites/handles.h"
#include "suites/layer_ref.h"
#include "suites/suite_layer_details.h"
#include "suites/suites.h"

namespace sim {
namespace {

static_assert(kMaxLayers <= (1u << kLayerIndexBits), "layer handles must hold every layer index");

LayerRef resolve(AEGP_LayerH handle) { return resolve_layer(handle); }

A_Err GetCompNumLayers(AEGP_CompH comp, A_long* n) {
  SIM_FAULT_POINT();
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
  SIM_FAULT_POINT();
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
  SIM_FAULT_POINT();
  if (!flags) return A_Err_PARAMETER;
  LayerRef ref = resolve(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  AEGP_LayerFlags f = 0;
  if (ref.layer->enabled) f |= AEGP_LayerFlag_VIDEO_ACTIVE;
  if (ref.layer->three_d) f |= AEGP_LayerFlag_LAYER_IS_3D;
  *flags = f | ref.layer->switches;
  return A_Err_NONE;
}

// A layer shows its solid's or footage's item, or a nested composition;
// a layer without a source has none.
A_Err GetLayerSourceItem(AEGP_LayerH handle, AEGP_ItemH* item) {
  SIM_FAULT_POINT();
  if (!item) return A_Err_PARAMETER;
  *item = nullptr;
  LayerRef ref = resolve(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  if (ref.layer->solid) *item = solid_item_handle(ref.address);
  if (ref.layer->footage) *item = footage_item_handle(ref.address);
  if (ref.layer->source_comp) {
    for (const Composition& c : ref.snap->comps) {
      if (c.name == *ref.layer->source_comp) *item = item_handle(c.id);
    }
  }
  return A_Err_NONE;
}

A_Err GetLayerObjectType(AEGP_LayerH handle, AEGP_ObjectType* type) {
  SIM_FAULT_POINT();
  if (!type) return A_Err_PARAMETER;
  LayerRef ref = resolve(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  *type = ref.layer->object_type;
  return A_Err_NONE;
}

#define SIM_LAYER_SUITE_13_CALLS                                                                             \
  GetCompNumLayers, GetCompLayerByIndex, GetLayerFlags, GetLayerSourceItem, GetLayerName, GetLayerParent, \
      GetLayerInPoint, GetLayerDuration, GetLayerOffset, GetLayerTransferMode
const AEGP_LayerSuite13 kSuite13 = {SIM_LAYER_SUITE_13_CALLS};
const AEGP_LayerSuite15 kSuite15 = {SIM_LAYER_SUITE_13_CALLS, GetLayerObjectType};
#undef SIM_LAYER_SUITE_13_CALLS

}  // namespace

void publish_layer_suite(SuiteRegistry& r) {
  r.publish(kAEGPLayerSuite, kAEGPLayerSuiteVersion13, &kSuite13);
  r.publish(kAEGPLayerSuite, kAEGPLayerSuiteVersion15, &kSuite15);
}

}  // namespace sim
