// The preview shader as the stand-in GPU runs it. The general rasteriser
// works a pixel at a time through the shader's own text, which costs the
// process many times what the CPU path spends on a frame; the one draw the
// panel makes (a single triangle over the whole drawable) is run here four
// or eight pixels side by side, with every value the general path computes worked
// out by the same operations in the same order, so the bytes are its very
// bytes.
#pragma once

#include "platform/metal_shader_registry.h"

namespace vel {

// What the preview pipeline runs for a draw: the specialised form when it
// takes the draw, else the general rasteriser.
void draw_preview_shader(const platform::DrawCall& call);

// The vectors the specialised form colours pixels in: one pixel to a
// 128-bit vector, or two to a 256-bit one where the processor has AVX2
// (else the former).
enum class PreviewLanes { four, widest };

// The specialised form alone. False when the draw is not one it knows (not
// one triangle, no texture bound, no vector unit) or a pixel of the
// triangle's bounds lies outside it; the target may then hold part of the
// picture, and the general rasteriser must draw it whole.
bool draw_preview_shader_specialised(const platform::DrawCall& call, PreviewLanes lanes = PreviewLanes::widest);

// fmod(s, 2) < 1 for a whole-numbered s (the checkerboard's parity test)
// without the division; any other s goes through fmod itself.
bool checker_parity_light(float s);

}  // namespace vel
