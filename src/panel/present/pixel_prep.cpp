#include "panel/present/pixel_prep.h"

#include "panel/present/pixel_kernels.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <tuple>


namespace vel {
namespace {

constexpr size_t kOneMiB = 1048576;
constexpr uint64_t kSharpenMaxPixels = 524288;

// w × h × 4 without overflow; none when it does not fit.
std::optional<size_t> rgba_bytes(uint64_t w, uint64_t h) {
  const unsigned __int128 n = static_cast<unsigned __int128>(w) * h * 4;
  if (n > SIZE_MAX) return std::nullopt;
  return static_cast<size_t>(n);
}

// c + half its difference from the mean of its 3 × 3 block, per colour
// channel, on every pixel off the border of `img` (in place on a copy of the
// source in `img`, reading the source `src`).
void sharpen_interior(const uint8_t* src, uint8_t* img, uint32_t w, uint32_t h, std::vector<uint16_t>& sums) {
  const size_t row = static_cast<size_t>(w) * 4;
  for (uint32_t y = 1; y + 1 < h; ++y) {
    const uint8_t* up = src + (y - 1) * row;
    const uint8_t* mid = src + y * row;
    const uint8_t* down = src + (y + 1) * row;
    for (size_t i = 0; i < row; ++i) sums[i] = static_cast<uint16_t>(up[i] + mid[i] + down[i]);
    uint8_t* out = img + y * row;
    for (uint32_t x = 1; x + 1 < w; ++x) {
      const size_t p = static_cast<size_t>(x) * 4;
      for (size_t c = 0; c < 3; ++c) {
        const int32_t s = sums[p - 4 + c] + sums[p + c] + sums[p + 4 + c];
        const int32_t v = mid[p + c];
        out[p + c] = static_cast<uint8_t>(std::clamp(v + ((9 * v - s) * 50) / 900, 0, 255));
      }
    }
  }
}

}  // namespace

uint64_t PresentScratch::counted_bytes() const {
  uint64_t n = a.capacity();
  n = n + b.capacity() < n ? UINT64_MAX : n + b.capacity();
  const uint64_t sums = column_sums.capacity() > UINT64_MAX / 2 ? UINT64_MAX : column_sums.capacity() * 2;
  return n + sums < n ? UINT64_MAX : n + sums;
}

bool reserve_present_buffer(std::vector<uint8_t>& buffer, size_t n) {
  const size_t four_n = n > SIZE_MAX / 4 ? SIZE_MAX : n * 4;
  if (buffer.capacity() > std::max(four_n, kOneMiB)) std::vector<uint8_t>().swap(buffer);
  try {
    if (buffer.capacity() < n) {
      std::vector<uint8_t> grown;
      grown.reserve(n);
      grown.assign(buffer.begin(), buffer.end());
      buffer.swap(grown);
    }
    buffer.resize(n);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

std::optional<std::pair<uint32_t, uint32_t>> halve_image(const uint8_t* src, size_t src_len, uint32_t width,
                                                         uint32_t height, std::vector<uint8_t>& out) {
  if (width < 2 || height < 2) return std::nullopt;
  const auto need = rgba_bytes(width, height);
  if (!need || *need > src_len || src == nullptr) return std::nullopt;
  const uint32_t ow = width / 2;
  const uint32_t oh = height / 2;
  if (!reserve_present_buffer(out, static_cast<size_t>(ow) * oh * 4)) return std::nullopt;
  const size_t row = static_cast<size_t>(width) * 4;
  for (uint32_t y = 0; y < oh; ++y) {
    const uint8_t* row0 = src + static_cast<size_t>(y) * 2 * row;
    halve_row_pair(row0, row0 + row, out.data() + static_cast<size_t>(y) * ow * 4, ow);
  }
  return std::make_pair(ow, oh);
}

std::optional<PreparedImage> prepare_present_pixels(const uint8_t* src, size_t src_len, uint32_t width,
                                                    uint32_t height, uint32_t target_width, uint32_t target_height,
                                                    PresentScratch& scratch, uint64_t pressure_percent) {
  if (width == 0 || height == 0 || src == nullptr) return std::nullopt;
  const auto need = rgba_bytes(width, height);
  if (!need || src_len < *need) return std::nullopt;

  if (target_width >= 1 && target_width <= width / 2 && target_height >= 1 && target_height <= height / 2) {
    uint32_t k = 1;
    while (k < 4 && target_width <= (width >> (k + 1)) && target_height <= (height >> (k + 1))) ++k;
    const uint8_t* in = src;
    size_t in_len = src_len;
    uint32_t w = width, h = height;
    for (uint32_t step = 0; step < k; ++step) {
      std::vector<uint8_t>& out = step % 2 == 0 ? scratch.a : scratch.b;
      auto size = halve_image(in, in_len, w, h, out);
      if (!size) return std::nullopt;
      std::tie(w, h) = *size;
      in = out.data();
      in_len = out.size();
    }
    return PreparedImage{in, in_len, w, h};
  }

  const uint64_t w4 = static_cast<uint64_t>(width) * 4;
  const uint64_t tw3 = static_cast<uint64_t>(target_width) * 3;
  const bool magnified = target_width > 0 && target_width <= w4 && w4 < tw3;
  if (magnified && static_cast<uint64_t>(width) * height <= kSharpenMaxPixels && pressure_percent == 100) {
    if (!reserve_present_buffer(scratch.b, *need)) return std::nullopt;
    std::memcpy(scratch.b.data(), src, *need);
    if (width >= 3 && height >= 3) {
      try {
        scratch.column_sums.resize(static_cast<size_t>(width) * 4);
      } catch (const std::bad_alloc&) {
        return std::nullopt;
      }
      sharpen_interior(src, scratch.b.data(), width, height, scratch.column_sums);
    }
    return PreparedImage{scratch.b.data(), *need, width, height};
  }
  return PreparedImage{src, *need, width, height};
}

bool flatten_on_checkerboard(const uint8_t* src, size_t src_len, uint32_t width, uint32_t height, uint32_t cell,
                             bool swap_red_blue, uint8_t* dst, size_t dst_len) {
  const auto need = rgba_bytes(width, height);
  if (!need || src_len < *need || dst_len != *need || src == nullptr || dst == nullptr) return false;
  const size_t row = static_cast<size_t>(width) * 4;
  for (uint32_t y = 0; y < height; ++y) {
    flatten_row(src + y * row, dst + y * row, width, cell, cell != 0 && ((y / cell) & 1) != 0, swap_red_blue);
  }
  return true;
}

uint32_t checker_cell(uint64_t prepared_width, uint64_t target_width) {
  if (target_width == 0) return 12;
  const unsigned __int128 cell = (static_cast<unsigned __int128>(prepared_width) * 12 + target_width / 2) / target_width;
  return static_cast<uint32_t>(std::clamp<unsigned __int128>(cell, 1, UINT32_MAX));
}

}  // namespace vel
