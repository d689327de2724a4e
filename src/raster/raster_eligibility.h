// Whether the raster path can draw a composition, with the fixed texts that
// say why not. The same checks guard the single-frame renderer and the
// prepared scene, so a composition refused here is never half drawn.
#pragma once

#include <optional>
#include <string>

#include "core/result.h"
#include "raster/comp_model.h"

namespace vel {

// "calque <index> « <name> » : <reason>".
std::string format_layer_rejection(const LayerModel& layer, const std::string& reason);

// Why one layer cannot be drawn (first hit: 3D, kind, source, blend mode,
// track matte, masks, active effects, unsupported features), already
// formatted with the layer's index and name; none when it can.
std::optional<std::string> layer_rejection_reason(const LayerModel& layer);

// Why the composition cannot be drawn: empty size, unsupported composition
// features, then every layer that can ever show (enabled, out point after
// in point): its own rejection, an unknown solid size, a Bezier key without
// eases. None when the raster path supports it.
std::optional<std::string> scene_rejection_reason(const CompModel& comp);

// The composition with what the raster path ignores (markers, motion blur)
// removed from its `unsupported` lists, or the rejection text.
Result<CompModel> raster_candidate(CompModel comp);

// "hors périmètre raster v0: <reason>", how a rejection is told.
std::string raster_out_of_scope_text(const std::string& reason);

// The one text of every refused keyframe list of the prepared scene.
const char* invalid_animation_error();

// A list of texts in the debug form: ["a", "b"].
std::string debug_text_list(const std::vector<std::string>& list);

}  // namespace vel
