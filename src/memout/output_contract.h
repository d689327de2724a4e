// What producer and consumer agree every frame of one memory output looks
// like, and the size rules both sides apply before touching a segment.
#pragma once

#include <cstdint>

#include "memout/memout_error.h"

namespace vel {

inline constexpr uint32_t kMaxOutputSide = 30000;
inline constexpr uint64_t kMaxOutputPixels = 0x1000000;  // 16,777,216: 64 MiB of RGBA8

struct OutputContract {
  int64_t range_start = 0;  // inclusive frame numbers
  int64_t range_end = 0;
  int64_t step = 1;  // time value per frame
  uint32_t key_scale = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  bool null_mode = false;
  uint64_t capacity = 0;  // payload bytes: width × height × 4, 0 in null mode
};

// Payload bytes of a width × height RGBA8 frame. Each side must be 1..30000
// ("invalid output dimensions") and the area at most 16,777,216 pixels
// ("RGBA8 output exceeds 64 MiB").
MemoutResult<uint64_t> rgba8_capacity(uint64_t width, uint64_t height);

// Frames in [start, end]: end − start + 1, 0 for end = start − 1; "invalid
// output range" when end < start − 1 or the arithmetic overflows.
MemoutResult<uint64_t> output_frame_count(int64_t start, int64_t end);

// frame × step, or nothing when it overflows a signed 64-bit value.
bool checked_frame_time(int64_t frame, int64_t step, int64_t& out);

}  // namespace vel
