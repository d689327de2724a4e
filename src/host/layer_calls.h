// Typed calls over the layers of a composition (Layer suite 13, and 15 for
// the object type; Layer Mask suite for the mask count). Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

Result<LayerH, AeError> comp_layer_by_index(CompH comp, int32_t index);
// The host's layer switches as it reports them (not masked).
Result<int32_t, AeError> layer_flags(LayerH layer);

struct LayerNames {
  std::string own;     // empty when the layer has no name of its own
  std::string source;  // the source item's name
};
// Both names; the host's two text handles are freed on every path.
Result<LayerNames, AeError> layer_names(LayerH layer, PluginId plugin_id);

Result<std::optional<LayerH>, AeError> layer_parent(LayerH layer);
// The host's object type number; the Layer suite 15 is kept for the process.
Result<int32_t, AeError> layer_object_type(LayerH layer);
Result<std::optional<ItemH>, AeError> layer_source_item(LayerH layer);

// In composition time.
Result<HostTime, AeError> layer_in_point(LayerH layer);
Result<HostTime, AeError> layer_duration(LayerH layer);
Result<HostTime, AeError> layer_offset(LayerH layer);

struct LayerTransferMode {
  int32_t mode = 0;
  int32_t flags = 0;
  int32_t track_matte = 0;  // 0 none, 1..4 alpha, alpha inverted, luma, luma inverted
};
Result<LayerTransferMode, AeError> layer_transfer_mode(LayerH layer);

Result<int32_t, AeError> layer_num_masks(LayerH layer);

}  // namespace vel
