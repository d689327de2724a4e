// Separable blend functions of the host's renderer: given the backdrop's and
// the source's straight colour channel (0..1), the blended channel.
#pragma once

#include <cstdint>

namespace sim {

using BlendFn = double (*)(double backdrop, double source);

// The blend function of a transfer mode. Modes the stand-in does not model
// (dissolve, the stencils, the hue family...) draw as normal.
BlendFn blend_for_mode(int32_t transfer_mode);

// Whether the mode has a blend function of its own.
bool blend_mode_modelled(int32_t transfer_mode);

}  // namespace sim
