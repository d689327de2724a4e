#include "host/layer_calls.h"

#include "host/mem_text.h"
#include "host/suite_access.h"

namespace vel {

Result<LayerH, AeError> comp_layer_by_index(CompH comp, int32_t index) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_LayerH layer = nullptr;
  if (auto st = check_ae(layers->GetCompLayerByIndex(comp, index, &layer)); !st) return Err{st.error()};
  if (!layer) return Err{AeError::internal("GetCompLayerByIndex: null layer")};
  return layer;
}

Result<int32_t, AeError> layer_flags(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_LayerFlags flags = 0;
  if (auto st = check_ae(layers->GetLayerFlags(layer, &flags)); !st) return Err{st.error()};
  return flags;
}

Result<LayerNames, AeError> layer_names(LayerH layer, PluginId plugin_id) {
  // The Memory suite first: a name handle must never be taken without the
  // means to free it.
  VEL_TRY_SUITE(mem, AEGP_MemorySuite1);
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_MemHandle own = nullptr, source = nullptr;
  auto st = check_ae(layers->GetLayerName(plugin_id, layer, &own, &source));
  // Both handles are taken (read and freed) whatever happened, so none leaks.
  auto own_text = take_utf16_text(*mem, own);
  auto source_text = take_utf16_text(*mem, source);
  if (!st) return Err{st.error()};
  if (!own_text) return Err{own_text.error()};
  if (!source_text) return Err{source_text.error()};
  return LayerNames{std::move(own_text).value(), std::move(source_text).value()};
}

Result<std::optional<LayerH>, AeError> layer_parent(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_LayerH parent = nullptr;
  if (auto st = check_ae(layers->GetLayerParent(layer, &parent)); !st) return Err{st.error()};
  if (!parent) return std::optional<LayerH>{};
  return std::optional<LayerH>{parent};
}

Result<int32_t, AeError> layer_object_type(LayerH layer) {
  auto layers = keep_suite<AEGP_LayerSuite15>();
  if (!layers) return Err{layers.error()};
  AEGP_ObjectType type = AEGP_ObjectType_NONE;
  if (auto st = check_ae(layers.value()->GetLayerObjectType(layer, &type)); !st) return Err{st.error()};
  return type;
}

Result<std::optional<ItemH>, AeError> layer_source_item(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_ItemH item = nullptr;
  if (auto st = check_ae(layers->GetLayerSourceItem(layer, &item)); !st) return Err{st.error()};
  if (!item) return std::optional<ItemH>{};
  return std::optional<ItemH>{item};
}

namespace {
constexpr A_long kCompTime = 1;  // AEGP_LTimeMode_CompTime
}

Result<HostTime, AeError> layer_in_point(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  A_Time t{0, 0};
  if (auto st = check_ae(layers->GetLayerInPoint(layer, kCompTime, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<HostTime, AeError> layer_duration(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  A_Time t{0, 0};
  if (auto st = check_ae(layers->GetLayerDuration(layer, kCompTime, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<HostTime, AeError> layer_offset(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  A_Time t{0, 0};
  if (auto st = check_ae(layers->GetLayerOffset(layer, &t)); !st) return Err{st.error()};
  return HostTime{t.value, t.scale};
}

Result<LayerTransferMode, AeError> layer_transfer_mode(LayerH layer) {
  VEL_TRY_SUITE(layers, AEGP_LayerSuite13);
  AEGP_LayerTransferMode m{};
  if (auto st = check_ae(layers->GetLayerTransferMode(layer, &m)); !st) return Err{st.error()};
  return LayerTransferMode{m.mode, m.flags, m.track_matte};
}

Result<int32_t, AeError> layer_num_masks(LayerH layer) {
  VEL_TRY_SUITE(masks, AEGP_LayerMaskSuite7);
  A_long n = 0;
  if (auto st = check_ae(masks->GetLayerNumMasks(layer, &n)); !st) return Err{st.error()};
  return n;
}

}  // namespace vel
