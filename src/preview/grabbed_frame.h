// The outcome of one in-process render: a frame converted to premultiplied
// RGBA8, or why there is none.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"
#include "preview/pixel_convert.h"

namespace vel {

struct GrabbedFrame {
  PixelPayload pixels;  // premultiplied RGBA8, rows of width × 4 bytes
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t downsample = 1;
  double time = 0.0;  // seconds
  SourceDepth source_depth = SourceDepth::Bpc8;
  double render_ms = 0.0;   // host render (or, asynchronously, submission to completion)
  double convert_ms = 0.0;  // conversion to RGBA8

  RgbaFrame to_rgba_frame() const { return RgbaFrame{pixels, time, width, height}; }
};

struct GrabError {
  enum class Kind { NoActiveComp, RenderFailed, Cancelled };
  Kind kind = Kind::RenderFailed;
  std::string text;  // for RenderFailed

  static GrabError no_active_comp() { return {Kind::NoActiveComp, {}}; }
  static GrabError render_failed(std::string t) { return {Kind::RenderFailed, std::move(t)}; }
  static GrabError cancelled() { return {Kind::Cancelled, {}}; }

  std::string describe() const {
    switch (kind) {
      case Kind::NoActiveComp:
        return "NoActiveComp";
      case Kind::Cancelled:
        return "Cancelled";
      case Kind::RenderFailed:
        break;
    }
    return "RenderFailed(" + text + ")";
  }
};

}  // namespace vel
