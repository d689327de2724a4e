// The cache strip under the picture: the composition laid across the
// strip's pixel columns, a column lit where a frame of it is cached, the
// work area brighter than the rest, the IN and OUT marks as bars and the
// frame on screen as a white line. The marks sit at the middle of their
// frame's cell, so that grabbing a mark and letting it go where it was
// keeps its frame.
//
// What is drawn depends on the strip's width and the cached frames only,
// never on the composition's length: a ten-hour composition costs what a
// ten-second one does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vel {

// Column x of a strip `width` pixels wide over `frame_count` frames shows
// the frames floor(x × n / w) to floor((x + 1) × n / w) − 1, at least the
// first of them: one frame over several columns on a short composition, many
// frames in one column on a long one. Answers one flag per column, set when
// one of the column's frames is in `cached` (frame indexes in any order;
// those outside the composition are passed by). Empty for no width or no
// frames.
std::vector<uint8_t> strip_columns(int64_t frame_count, uint32_t width, std::span<const int64_t> cached);

// The columns, first and last inclusive, that frame `frame` lights on a
// strip `width` pixels wide; none outside the composition or for no width.
std::optional<std::pair<uint32_t, uint32_t>> strip_frame_columns(int64_t frame_count, uint32_t width, int64_t frame);

struct StripPicture {
  uint32_t width_px = 0;
  uint32_t height_px = 0;
  int64_t frame_count = 0;
  std::vector<uint8_t> lit;  // strip_columns over the cached frames, one flag per column
  int64_t work_first = 0;    // inclusive frame indexes
  int64_t work_last = -1;
  std::optional<uint32_t> shown_column;  // the frame on screen's, strip_shown_column
  friend bool operator==(const StripPicture&, const StripPicture&) = default;
};

// The column of the white line for `frame` on a strip `width` pixels wide:
// at the middle of the frame's cell, as the marks. None outside the
// composition or for no width. The strip is drawn again when the line
// changes column, not at every frame a playback moves on.
std::optional<uint32_t> strip_shown_column(int64_t frame, int64_t frame_count, uint32_t width);

// The IN and OUT marks in thousandths of the strip's width.
std::pair<uint64_t, uint64_t> strip_mark_positions(int64_t first, int64_t last, int64_t frame_count);

// Premultiplied RGBA, width × height × 4 bytes; empty for an empty size or
// no frames. A column is inside the work area when its first frame is.
std::vector<uint8_t> draw_cache_strip(const StripPicture& in);

}  // namespace vel
