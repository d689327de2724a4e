#include "memout/output_contract.h"

namespace vel {

MemoutResult<uint64_t> rgba8_capacity(uint64_t width, uint64_t height) {
  if (width < 1 || width > kMaxOutputSide || height < 1 || height > kMaxOutputSide) {
    return memout_invalid("invalid output dimensions");
  }
  const uint64_t pixels = width * height;  // ≤ 9e8, no overflow
  if (pixels > kMaxOutputPixels) return memout_invalid("RGBA8 output exceeds 64 MiB");
  return pixels * 4;
}

MemoutResult<uint64_t> output_frame_count(int64_t start, int64_t end) {
  int64_t span = 0;
  int64_t count = 0;
  if (__builtin_sub_overflow(end, start, &span) || span < -1 || __builtin_add_overflow(span, 1, &count)) {
    return memout_invalid("invalid output range");
  }
  return static_cast<uint64_t>(count);
}

bool checked_frame_time(int64_t frame, int64_t step, int64_t& out) {
  return !__builtin_mul_overflow(frame, step, &out);
}

}  // namespace vel
