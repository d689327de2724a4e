#include "panel/pixel_prep.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <tuple>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// (s >> 2) + ((s >> 1) & 1), which equals (s + 2) >> 2: a remainder of 2 or
// 3 rounds up.
inline uint8_t box_mean(unsigned s) { return static_cast<uint8_t>((s + 2) >> 2); }

void halve_rows(const uint8_t* row0, const uint8_t* row1, uint8_t* out, uint32_t out_w) {
  uint32_t x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i two = _mm_set1_epi16(2);
  // Four source pixels of two rows give two result pixels.
  for (; x + 4 <= out_w; x += 4) {
    __m128i res[2];
    for (int half = 0; half < 2; ++half) {
      const size_t off = (static_cast<size_t>(x) * 2 + half * 4) * 4;
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + off));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + off));
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      const __m128i lo_sum = _mm_add_epi16(lo, _mm_srli_si128(lo, 8));
      const __m128i hi_sum = _mm_add_epi16(hi, _mm_srli_si128(hi, 8));
      res[half] = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(lo_sum, hi_sum), two), 2);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + static_cast<size_t>(x) * 4), _mm_packus_epi16(res[0], res[1]));
  }
#endif
  for (; x < out_w; ++x) {
    const uint8_t* p = row0 + static_cast<size_t>(x) * 8;
    const uint8_t* q = row1 + static_cast<size_t>(x) * 8;
    for (int c = 0; c < 4; ++c) out[static_cast<size_t>(x) * 4 + c] = box_mean(p[c] + p[c + 4] + q[c] + q[c + 4]);
  }
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

#if defined(__SSE2__)
// Four pixels over one grey.
inline __m128i flatten4(__m128i px, __m128i grey, __m128i zero, bool swap) {
  const __m128i c127 = _mm_set1_epi16(127);
  const __m128i c1 = _mm_set1_epi16(1);
  const __m128i c255 = _mm_set1_epi16(255);
  __m128i halves[2] = {_mm_unpacklo_epi8(px, zero), _mm_unpackhi_epi8(px, zero)};
  for (__m128i& v : halves) {
    __m128i alpha = _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 3, 3, 3));
    alpha = _mm_shufflehi_epi16(alpha, _MM_SHUFFLE(3, 3, 3, 3));
    // t = (255 − a) × g + 127, then ⌊t / 255⌋ = (t + 1 + (t >> 8)) >> 8.
    const __m128i t = _mm_add_epi16(_mm_mullo_epi16(_mm_sub_epi16(c255, alpha), grey), c127);
    const __m128i add = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(t, c1), _mm_srli_epi16(t, 8)), 8);
    v = _mm_add_epi16(v, add);
    if (swap) {
      v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 0, 1, 2));
      v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(3, 0, 1, 2));
    }
  }
  const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  return _mm_or_si128(_mm_packus_epi16(halves[0], halves[1]), opaque);
}
#endif

inline void flatten_one(const uint8_t* s, uint8_t* d, unsigned grey, bool swap) {
  uint8_t r = s[0], g = s[1], b = s[2];
  const unsigned a = s[3];
  if (a < 255) {
    const unsigned add = ((255 - a) * grey + 127) / 255;
    r = static_cast<uint8_t>(std::min(255u, r + add));
    g = static_cast<uint8_t>(std::min(255u, g + add));
    b = static_cast<uint8_t>(std::min(255u, b + add));
  }
  d[0] = swap ? b : r;
  d[1] = g;
  d[2] = swap ? r : b;
  d[3] = 255;
}

// Pixels [x0, x1) of one row over one grey.
void flatten_run(const uint8_t* src, uint8_t* dst, uint32_t x0, uint32_t x1, unsigned grey, bool swap) {
  uint32_t x = x0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i g = _mm_set1_epi16(static_cast<short>(grey));
  for (; x + 4 <= x1; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + static_cast<size_t>(x) * 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + static_cast<size_t>(x) * 4), flatten4(px, g, zero, swap));
  }
#endif
  for (; x < x1; ++x) flatten_one(src + static_cast<size_t>(x) * 4, dst + static_cast<size_t>(x) * 4, grey, swap);
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
    halve_rows(row0, row0 + row, out.data() + static_cast<size_t>(y) * ow * 4, ow);
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
    const uint8_t* s = src + y * row;
    uint8_t* d = dst + y * row;
    if (cell == 0) {
      // An opaque source adds nothing: one run over a grey of 0.
      flatten_run(s, d, 0, width, 0, swap_red_blue);
      continue;
    }
    const uint32_t row_cell = y / cell;
    for (uint32_t x0 = 0; x0 < width;) {
      const uint32_t col_cell = x0 / cell;
      const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(col_cell + 1) * cell, width);
      const unsigned grey = ((row_cell + col_cell) & 1) != 0 ? 102 : 153;
      flatten_run(s, d, x0, static_cast<uint32_t>(end), grey, swap_red_blue);
      x0 = static_cast<uint32_t>(end);
    }
  }
  return true;
}

uint32_t checker_cell(uint64_t prepared_width, uint64_t target_width) {
  if (target_width == 0) return 12;
  const unsigned __int128 cell = (static_cast<unsigned __int128>(prepared_width) * 12 + target_width / 2) / target_width;
  return static_cast<uint32_t>(std::clamp<unsigned __int128>(cell, 1, UINT32_MAX));
}

}  // namespace vel
