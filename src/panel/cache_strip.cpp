#include "panel/cache_strip.h"

#include <algorithm>
#include <cmath>

namespace vel {
namespace {

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kBackground{38, 38, 42};
constexpr Rgb kWorkEmpty{64, 64, 72};
constexpr Rgb kCachedOutside{44, 96, 64};
constexpr Rgb kCachedInside{70, 176, 100};
constexpr Rgb kMark{245, 190, 40};
constexpr Rgb kShown{255, 255, 255};

// The first frame column x shows: floor(x × n / w), in 128 bits for any length.
int64_t first_frame_of_column(uint64_t x, int64_t n, uint64_t w) {
  return static_cast<int64_t>(static_cast<unsigned __int128>(x) * static_cast<uint64_t>(n) / w);
}

uint64_t centre_thousandths(int64_t frame, int64_t count) {
  const double t = (static_cast<double>(frame) + 0.5) * 1000.0 / static_cast<double>(count);
  return static_cast<uint64_t>(std::clamp(std::round(t), 0.0, 1000.0));
}

}  // namespace

std::optional<std::pair<uint32_t, uint32_t>> strip_frame_columns(int64_t frame_count, uint32_t width, int64_t frame) {
  if (width == 0 || frame < 0 || frame >= frame_count) return std::nullopt;
  // The last column whose first frame is at or before f, and the first
  // column starting at or after f; on a long composition they meet in the
  // one column that holds f.
  auto columns = [](auto f, auto n, auto w) {
    const auto hi = std::min<decltype(f)>(((f + 1) * w - 1) / n, w - 1);
    const auto lo = std::min<decltype(f)>((f * w + n - 1) / n, hi);
    return std::pair{static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
  };
  // In 64 bits while (f + 1) × w fits, which is every composition a host
  // makes; the arithmetic is the same in 128 bits beyond.
  const auto n = static_cast<uint64_t>(frame_count);
  if (n <= UINT64_MAX / (uint64_t{width} + 1)) return columns(static_cast<uint64_t>(frame), n, uint64_t{width});
  using U = unsigned __int128;
  return columns(static_cast<U>(frame), static_cast<U>(n), static_cast<U>(width));
}

std::vector<uint8_t> strip_columns(int64_t frame_count, uint32_t width, std::span<const int64_t> cached) {
  if (width == 0 || frame_count <= 0) return {};
  std::vector<uint8_t> lit(width, 0);
  for (const int64_t f : cached) {
    const auto columns = strip_frame_columns(frame_count, width, f);
    if (!columns) continue;
    for (uint32_t x = columns->first; x <= columns->second; ++x) lit[x] = 1;
  }
  return lit;
}

std::pair<uint64_t, uint64_t> strip_mark_positions(int64_t first, int64_t last, int64_t frame_count) {
  if (frame_count <= 0) return {0, 1000};
  const int64_t lo = std::clamp<int64_t>(first, 0, frame_count - 1);
  const int64_t hi = std::clamp<int64_t>(last < 0 ? frame_count - 1 : last, lo, frame_count - 1);
  return {centre_thousandths(lo, frame_count), centre_thousandths(hi, frame_count)};
}

std::optional<uint32_t> strip_shown_column(int64_t frame, int64_t frame_count, uint32_t width) {
  if (width == 0 || frame < 0 || frame >= frame_count) return std::nullopt;
  return static_cast<uint32_t>(std::min<uint64_t>(centre_thousandths(frame, frame_count) * width / 1000, width - 1));
}

std::vector<uint8_t> draw_cache_strip(const StripPicture& in) {
  const int64_t n = in.frame_count;
  if (in.width_px == 0 || in.height_px == 0 || n <= 0) return {};
  const size_t w = in.width_px;
  const size_t h = in.height_px;
  std::vector<Rgb> row(w, kBackground);
  for (size_t x = 0; x < w; ++x) {
    const int64_t f = first_frame_of_column(x, n, w);
    const bool inside = f >= in.work_first && f <= in.work_last;
    if (x < in.lit.size() && in.lit[x]) {
      row[x] = inside ? kCachedInside : kCachedOutside;
    } else if (inside) {
      row[x] = kWorkEmpty;
    }
  }
  auto column = [&](uint64_t thousandths) {
    return std::min<size_t>(static_cast<size_t>(thousandths * w / 1000), w - 1);
  };
  if (in.shown_column && *in.shown_column < w) {
    const size_t c = *in.shown_column;
    row[c] = kShown;
    if (c + 1 < w) row[c + 1] = kShown;
  }

  std::vector<uint8_t> px(w * h * 4);
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = &px[(y * w + x) * 4];
      p[0] = row[x].r;
      p[1] = row[x].g;
      p[2] = row[x].b;
      p[3] = 255;
    }
  }
  // Marks: two-pixel bars across the whole height.
  const auto [in_mark, out_mark] = strip_mark_positions(in.work_first, in.work_last, n);
  for (uint64_t m : {in_mark, out_mark}) {
    const size_t c = column(m);
    for (size_t x = c > 0 ? c - 1 : c; x <= std::min(c + 1, w - 1); ++x) {
      for (size_t y = 0; y < h; ++y) {
        uint8_t* p = &px[(y * w + x) * 4];
        p[0] = kMark.r;
        p[1] = kMark.g;
        p[2] = kMark.b;
      }
    }
  }
  return px;
}

}  // namespace vel
