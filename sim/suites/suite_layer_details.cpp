#include "suites/suite_layer_details.h"

#include "suites/layer_ref.h"
#include "suites/layer_time.h"
#include "suites/suites.h"

namespace sim {

A_Err GetLayerName(AEGP_PluginID, AEGP_LayerH handle, AEGP_MemHandle* layer_name, AEGP_MemHandle* source_name) {
  SIM_FAULT_POINT();
  if (layer_name) *layer_name = nullptr;
  if (source_name) *source_name = nullptr;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  const Layer& l = *ref.layer;
  std::string source;
  if (l.solid) source = l.solid->name;
  if (l.footage) source = l.footage->name;
  if (l.source_comp) source = *l.source_comp;
  if (layer_name) *layer_name = new_utf16_handle(l.name);
  if (source_name) *source_name = new_utf16_handle(source);
  return A_Err_NONE;
}

A_Err GetLayerParent(AEGP_LayerH handle, AEGP_LayerH* parent) {
  SIM_FAULT_POINT();
  if (!parent) return A_Err_PARAMETER;
  *parent = nullptr;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  if (ref.layer->parent) *parent = layer_handle(LayerAddress{ref.address.comp_id, *ref.layer->parent});
  return A_Err_NONE;
}

namespace {
A_Err layer_time(AEGP_LayerH handle, A_long mode, A_Time* out, HostTime Layer::*field) {
  if (!out) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  auto t = time_in_mode(ref.layer->*field, *ref.layer, mode);
  if (!t) return A_Err_PARAMETER;
  *out = *t;
  return A_Err_NONE;
}
}  // namespace

A_Err GetLayerInPoint(AEGP_LayerH handle, A_long time_mode, A_Time* in_point) {
  SIM_FAULT_POINT();
  return layer_time(handle, time_mode, in_point, &Layer::in_point);
}

// A span, the same in both modes.
A_Err GetLayerDuration(AEGP_LayerH handle, A_long time_mode, A_Time* duration) {
  SIM_FAULT_POINT();
  if (!duration || (time_mode != kLayerTime && time_mode != kCompTime)) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  *duration = A_Time{ref.layer->duration.value, ref.layer->duration.scale};
  return A_Err_NONE;
}

A_Err GetLayerOffset(AEGP_LayerH handle, A_Time* offset) {
  SIM_FAULT_POINT();
  if (!offset) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  *offset = A_Time{ref.layer->offset.value, ref.layer->offset.scale};
  return A_Err_NONE;
}

A_Err GetLayerTransferMode(AEGP_LayerH handle, AEGP_LayerTransferMode* mode) {
  SIM_FAULT_POINT();
  if (!mode) return A_Err_PARAMETER;
  LayerRef ref = resolve_layer(handle);
  if (!ref.layer) return A_Err_PARAMETER;
  *mode = AEGP_LayerTransferMode{ref.layer->transfer_mode, ref.layer->transfer_flags, ref.layer->track_matte};
  return A_Err_NONE;
}

}  // namespace sim
