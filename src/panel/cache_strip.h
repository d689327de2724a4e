// The cache strip under the picture: one cell per frame of the composition,
// lit where the frame is cached, the work area brighter than the rest, the
// IN and OUT marks as bars and the frame on screen as a white line. The
// marks sit at the middle of their frame's cell, so that grabbing a mark and
// letting it go where it was keeps its frame.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vel {

struct StripPicture {
  uint32_t width_px = 0;
  uint32_t height_px = 0;
  std::vector<uint8_t> cached;  // one flag per frame of the composition
  int64_t work_first = 0;       // inclusive frame indexes
  int64_t work_last = -1;
  std::optional<int64_t> shown;
  friend bool operator==(const StripPicture&, const StripPicture&) = default;
};

// The IN and OUT marks in thousandths of the strip's width.
std::pair<uint64_t, uint64_t> strip_mark_positions(int64_t first, int64_t last, int64_t frame_count);

// Premultiplied RGBA, width × height × 4 bytes; empty for an empty size or
// no frames.
std::vector<uint8_t> draw_cache_strip(const StripPicture& in);

}  // namespace vel
