// A worker that renders another size than its composition's, as one does
// whose output-module template crops or pads, or whose project is another
// version of the composition: SIM_AERENDER_SIZE gives the size the
// composition is rendered at, before the render settings' downsample.
//   SIM_AERENDER_SIZE=WxH     a canvas of W × H pixels (1..30000 each); the
//                             layers keep their places on it
//   SIM_AERENDER_SIZE=*N, /N  the composition's size times N, or divided by
//                             N rounding up (N 1..16)
// A bare value acts in every worker; a value naming worker folders
// ("w0:1920x1440", "0/w1:*2", worker_switch.h) only in those. The file road
// and the output module's worlds both follow it; the output module is still
// told the composition's own size.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "project/project_model.h"
#include "simhost/result.h"

namespace sim {

struct RenderSize {
  enum class Kind : uint8_t { Canvas, Times, DividedBy } kind = Kind::Canvas;
  int32_t width = 0, height = 0;  // Canvas
  int32_t factor = 1;             // Times, DividedBy
};

// "WxH", "*N" or "/N"; nothing for anything else.
std::optional<RenderSize> parse_render_size(const std::string& text);

// The switch as it applies to the worker writing to `output_path`: nothing
// when it is unset or names other folders. A malformed bare value is an
// error; a malformed scoped one is ignored, as the other scoped switches.
Result<std::optional<RenderSize>> read_render_size(const std::function<std::optional<std::string>(const char*)>& getenv,
                                                   const std::string& output_path);

// `comp` with the canvas the switch gives.
Composition resized_composition(const Composition& comp, const RenderSize& size);

}  // namespace sim
