// The blend kernels of the raster path: how a layer's colour mixes with what
// is under it, one channel at a time, on straight (not premultiplied) values
// in 0..1. Chosen by the blend mode's name only, so both host modes called
// "difference" behave alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vel {

// (backdrop b, source s) -> blended value.
using BlendKernel = double (*)(double b, double s);

// The kernel for an exact, case-sensitive blend mode name: "normal",
// "multiply", "screen", "overlay", "darken", "lighten", "difference", "add",
// "linear_dodge"; null for every other name.
BlendKernel blend_for_name(std::string_view name);

// Which of those kernels a function is, so that a span of one colour can be
// blended with that kernel's own arithmetic; null counts as normal. Nothing
// for any other function.
enum class BlendKind : uint8_t { Normal, Multiply, Screen, Overlay, Darken, Lighten, Difference, Add };
std::optional<BlendKind> blend_kind_of(BlendKernel kernel);

}  // namespace vel
