// The size of the frames a batch asked its workers for: the composition's
// at the batch's file downsample, each side ceil(side / d), as the host
// renders a downsampled frame. A worker's frame of any other size (a
// template that crops, pads or stretches, another version of the project)
// is another picture, whatever its pixels: it is refused where it is taken
// in, before anything of it is decoded.
#pragma once

#include <cstdint>
#include <optional>

#include "pool/schedule/startup_context.h"

namespace vel {

// None when the composition's size is unknown: nothing to hold a frame to.
constexpr std::optional<FrameDimensions> requested_frame_size(std::optional<FrameDimensions> comp, uint64_t file_ds) {
  if (!comp || comp->width == 0 || comp->height == 0) return std::nullopt;
  const uint64_t d = file_ds > 1 ? file_ds : 1;
  return FrameDimensions{static_cast<uint32_t>((uint64_t{comp->width} + d - 1) / d),
                         static_cast<uint32_t>((uint64_t{comp->height} + d - 1) / d)};
}

// Whether an image of `width` × `height` is of another size than the one
// asked for; never without a request.
constexpr bool foreign_size(uint64_t width, uint64_t height, const std::optional<FrameDimensions>& requested) {
  return requested && (width != requested->width || height != requested->height);
}

}  // namespace vel
