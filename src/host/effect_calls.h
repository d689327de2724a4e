// Typed calls over the effects of a layer (Effect suite). An effect
// reference is the caller's to dispose. Main thread only.
#pragma once

#include <cstdint>
#include <string>

#include "core/result.h"
#include "host/ae_error.h"
#include "host/handles.h"

namespace vel {

Result<int32_t, AeError> layer_num_effects(LayerH layer);
// A new reference, to be given back with dispose_effect.
Result<EffectRefH, AeError> layer_effect_by_index(PluginId plugin_id, LayerH layer, int32_t index);
Status<AeError> dispose_effect(EffectRefH effect);
Result<int32_t, AeError> effect_installed_key(EffectRefH effect);
Result<int32_t, AeError> effect_flags(EffectRefH effect);
// The installed effect's match name; a name that fills the host's buffer
// without a terminating zero is refused as InvalidParms.
Result<std::string, AeError> effect_match_name(int32_t installed_key);

}  // namespace vel
