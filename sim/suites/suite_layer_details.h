// The Layer suite's calls about one layer's name, parent, times and
// transfer mode (the table itself is in suite_layer.cpp).
#pragma once

#include "hostsdk/layer_suite.h"

namespace sim {

A_Err GetLayerName(AEGP_PluginID plugin_id, AEGP_LayerH layer, AEGP_MemHandle* layer_name, AEGP_MemHandle* source_name);
A_Err GetLayerParent(AEGP_LayerH layer, AEGP_LayerH* parent);
A_Err GetLayerInPoint(AEGP_LayerH layer, A_long time_mode, A_Time* in_point);
A_Err GetLayerDuration(AEGP_LayerH layer, A_long time_mode, A_Time* duration);
A_Err GetLayerOffset(AEGP_LayerH layer, A_Time* offset);
A_Err GetLayerTransferMode(AEGP_LayerH layer, AEGP_LayerTransferMode* mode);

}  // namespace sim
