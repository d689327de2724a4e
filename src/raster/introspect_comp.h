// Reading one composition through the host into a CompModel. Runs on the
// host's main thread inside a hook; synchronous host calls, no lock. A read
// stops only when the composition itself cannot be described; a layer that
// cannot be fetched is left out, a field that cannot be read keeps a fixed
// default, and each problem is a text in an `unsupported` list.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "host/handles.h"
#include "raster/comp_model.h"

namespace vel {

// The composition behind `item` (which may be null), or the text of why it
// cannot be described.
Result<CompModel> introspect_comp(PluginId plugin_id, ItemH item);

// One layer at 0-based `position`; never fails.
LayerModel introspect_layer(PluginId plugin_id, LayerH layer, uint32_t position);

}  // namespace vel
