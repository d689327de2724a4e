// The blend kernels of the raster path: how a layer's colour mixes with what
// is under it, one channel at a time, on straight (not premultiplied) values
// in 0..1. Chosen by the blend mode's name only, so both host modes called
// "difference" behave alike.
#pragma once

#include <string_view>

namespace vel {

// (backdrop b, source s) -> blended value.
using BlendKernel = double (*)(double b, double s);

// The kernel for an exact, case-sensitive blend mode name: "normal",
// "multiply", "screen", "overlay", "darken", "lighten", "difference", "add",
// "linear_dodge"; null for every other name.
BlendKernel blend_for_name(std::string_view name);

}  // namespace vel
