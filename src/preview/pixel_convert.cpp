#include "preview/pixel_convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VEL_CONVERT_AVX2 1
#endif

#include "core/log.h"
#include "core/machine.h"
#include "core/threads.h"

namespace vel {

namespace {

inline double load_unit_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  if (!(v > 0.0f)) return 0.0;  // also NaN
  return v >= 1.0f ? 1.0 : static_cast<double>(v);
}

// round(v × 255 / 32768), halves up.
inline uint8_t from16(uint32_t v) { return static_cast<uint8_t>((v * 255u + 16384u) >> 15); }

// round(c × a × 255 / 32768²), halves up.
inline uint8_t from16_product(uint32_t c, uint32_t a) {
  uint64_t p = static_cast<uint64_t>(c) * a * 255u;
  return static_cast<uint8_t>((p + (uint64_t{1} << 29)) >> 30);
}

inline uint8_t from_unit(double v) { return static_cast<uint8_t>(std::floor(v * 255.0 + 0.5)); }

// Little-endian words: a source pixel A,R,G,B loads as A | R<<8 | G<<16 |
// B<<24, an output pixel R,G,B,A stores as R | G<<8 | B<<16 | A<<24.
static_assert(std::endian::native == std::endian::little, "pixel words assume a little-endian machine");

inline uint32_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// round(x × a / 255) for the two bytes of `lanes` at bits 0 and 16 at
// once: each lane's product stays below 2^16, so lanes never carry.
inline uint32_t mul_div255_lanes(uint32_t lanes, uint32_t a) {
  uint32_t t = lanes * a + 0x00800080u;
  return ((t + ((t >> 8) & 0x00FF00FFu)) >> 8) & 0x00FF00FFu;
}

#if defined(__SSE2__)
// Four pixels at a time; the same arithmetic as the scalar loops below.
// Answers how many pixels of the row it converted (a multiple of 4).
uint32_t rows8_premultiplied_simd(const uint8_t* in, uint8_t* out, uint32_t width) {
  const __m128i low = _mm_set1_epi32(0xFF);
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 16, out += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i a = _mm_and_si128(v, low);
    const __m128i a3 = _mm_or_si128(a, _mm_or_si128(_mm_slli_epi32(a, 8), _mm_slli_epi32(a, 16)));
    const __m128i rgb = _mm_min_epu8(_mm_srli_epi32(v, 8), a3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(rgb, _mm_slli_epi32(a, 24)));
  }
  return x;
}

// round(c × a / 255) on 16-bit lanes holding bytes.
inline __m128i mul_div255_epi16(__m128i c, __m128i a) {
  const __m128i t = _mm_add_epi16(_mm_mullo_epi16(c, a), _mm_set1_epi16(128));
  return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}

uint32_t rows8_straight_simd(const uint8_t* in, uint8_t* out, uint32_t width) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_set1_epi32(0xFF);
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 16, out += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i a = _mm_and_si128(v, low);
    // Lanes of R,G,B,0 and an alpha per lane, in RGBA order.
    const __m128i rgb = _mm_srli_epi32(v, 8);
    const __m128i a3 = _mm_or_si128(a, _mm_or_si128(_mm_slli_epi32(a, 8), _mm_slli_epi32(a, 16)));
    const __m128i lo = mul_div255_epi16(_mm_unpacklo_epi8(rgb, zero), _mm_unpacklo_epi8(a3, zero));
    const __m128i hi = mul_div255_epi16(_mm_unpackhi_epi8(rgb, zero), _mm_unpackhi_epi8(a3, zero));
    const __m128i premul = _mm_packus_epi16(lo, hi);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(premul, _mm_slli_epi32(a, 24)));
  }
  return x;
}

// Four deep premultiplied pixels at a time. Unsigned 16-bit minimum and
// rounding without SSE4: values are biased by 0x8000 for the signed
// minimum, and round(v × 255 / 32768) = (v × 510 + 32768) >> 16 is the high
// half of v × 510 plus the top bit of its low half.
inline __m128i min_u16_le_32768(__m128i a, __m128i b) {
  const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(0x8000));
  return _mm_xor_si128(_mm_min_epi16(_mm_xor_si128(a, bias), _mm_xor_si128(b, bias)), bias);
}

inline __m128i from16_epi16(__m128i v) {
  const __m128i k = _mm_set1_epi16(510);
  return _mm_add_epi16(_mm_mulhi_epu16(v, k), _mm_srli_epi16(_mm_mullo_epi16(v, k), 15));
}

// Two pixels (A,R,G,B lanes) to two RGBA pixels in 16-bit lanes.
inline __m128i premul16_pair(__m128i v) {
  v = min_u16_le_32768(v, _mm_set1_epi16(static_cast<int16_t>(kMax16)));
  const __m128i a = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0), 0);
  const __m128i c = from16_epi16(min_u16_le_32768(v, a));
  // Lanes A,R,G,B → R,G,B,A (the alpha lane is min(a, a) = a).
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(c, _MM_SHUFFLE(0, 3, 2, 1)), _MM_SHUFFLE(0, 3, 2, 1));
}

uint32_t rows16_premultiplied_simd(const uint8_t* in, uint8_t* out, uint32_t width) {
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 32, out += 16) {
    const __m128i p01 = premul16_pair(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    const __m128i p23 = premul16_pair(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(p01, p23));
  }
  return x;
}
#endif

void rows8(const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  const size_t out_row = static_cast<size_t>(s.width) * 4;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    uint32_t x = 0;
    if (s.alpha == AlphaKind::Premultiplied) {
#if defined(__SSE2__)
      x = rows8_premultiplied_simd(in, out, s.width);
      in += 4 * x;
      out += 4 * x;
#endif
      for (; x < s.width; ++x, in += 4, out += 4) {
        const uint32_t v = load32(in);
        const uint32_t a = v & 0xFFu;
        uint32_t rgb = v >> 8;
        if ((rgb & 0xFFu) > a || ((rgb >> 8) & 0xFFu) > a || (rgb >> 16) > a) {
          // Not truly premultiplied: keep every colour within its alpha.
          rgb = std::min(rgb & 0xFFu, a) | std::min((rgb >> 8) & 0xFFu, a) << 8 | std::min(rgb >> 16, a) << 16;
        }
        store32(out, rgb | a << 24);
      }
    } else {
#if defined(__SSE2__)
      x = rows8_straight_simd(in, out, s.width);
      in += 4 * x;
      out += 4 * x;
#endif
      for (; x < s.width; ++x, in += 4, out += 4) {
        const uint32_t v = load32(in);
        const uint32_t a = v & 0xFFu;
        const uint32_t rb = mul_div255_lanes((v >> 8) & 0x00FF00FFu, a);  // R at 0, B at 16
        const uint32_t g = mul_div255_lanes((v >> 16) & 0xFFu, a);
        store32(out, rb | g << 8 | a << 24);
      }
    }
  }
}

// Output bytes are assembled into one word and stored once: byte stores
// through uint8_t pointers may alias anything and would make the compiler
// reload the loop's state on every pixel.
inline uint32_t rgba_word(uint32_t r, uint32_t g, uint32_t b, uint32_t a) { return r | g << 8 | b << 16 | a << 24; }

void rows16(const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  const uint32_t width = s.width;
  const size_t out_row = static_cast<size_t>(width) * 4;
  const bool premul = s.alpha == AlphaKind::Premultiplied;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    uint16_t px[4];
    if (premul) {
      uint32_t x = 0;
#if defined(__SSE2__)
      x = rows16_premultiplied_simd(in, out, width);
      in += 8 * x;
      out += 4 * x;
#endif
      for (; x < width; ++x, in += 8, out += 4) {
        std::memcpy(px, in, sizeof px);
        const uint32_t a = std::min<uint32_t>(px[0], kMax16);
        store32(out, rgba_word(from16(std::min<uint32_t>(px[1], a)), from16(std::min<uint32_t>(px[2], a)),
                               from16(std::min<uint32_t>(px[3], a)), from16(a)));
      }
    } else {
      for (uint32_t x = 0; x < width; ++x, in += 8, out += 4) {
        std::memcpy(px, in, sizeof px);
        const uint32_t a = std::min<uint32_t>(px[0], kMax16);
        store32(out, rgba_word(from16_product(std::min<uint32_t>(px[1], kMax16), a),
                               from16_product(std::min<uint32_t>(px[2], kMax16), a),
                               from16_product(std::min<uint32_t>(px[3], kMax16), a), from16(a)));
      }
    }
  }
}

// One row of float pixels, x in [from, width).
void row32_scalar(const uint8_t* in, uint8_t* out, uint32_t from, uint32_t width, bool premul) {
  in += static_cast<size_t>(from) * 16;
  out += static_cast<size_t>(from) * 4;
  for (uint32_t x = from; x < width; ++x, in += 16, out += 4) {
    const double a = load_unit_f32(in);
    uint32_t c[3];
    for (int i = 0; i < 3; ++i) {
      const double v = load_unit_f32(in + 4 + 4 * i);
      c[i] = from_unit(premul ? std::min(v, a) : v * a);
    }
    store32(out, rgba_word(c[0], c[1], c[2], from_unit(a)));
  }
}

#if defined(__SSE2__)
// The scalar path's very operations on two lanes of doubles at a time, so
// that every byte comes out the same: a product of two floats is exact in a
// double, × 255 and + 0.5 round as they do there, and truncation is the
// floor of a value that is never negative.
inline __m128i from_unit_pd(__m128 v, __m128 m) {
  const __m128d k255 = _mm_set1_pd(255.0);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d lo = _mm_mul_pd(_mm_cvtps_pd(v), _mm_cvtps_pd(m));
  const __m128d hi = _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(v, v)), _mm_cvtps_pd(_mm_movehl_ps(m, m)));
  const __m128i ilo = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(lo, k255), half));
  const __m128i ihi = _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(hi, k255), half));
  return _mm_unpacklo_epi64(ilo, ihi);
}

// One A,R,G,B float pixel to its four bytes as 32-bit lanes in that order.
// The clamps are the scalar loader's: maxps answers its second operand for
// a NaN, and -0 is not above 0, so both become +0; 1 and above become 1.
template <bool Premul>
inline __m128i pixel32(const uint8_t* in) {
  const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(reinterpret_cast<const float*>(in)), _mm_setzero_ps()),
                              _mm_set1_ps(1.0f));
  const __m128 a = _mm_shuffle_ps(v, v, 0);
  if constexpr (Premul) {
    // min(a, a) is a: the alpha lane passes through unchanged.
    return from_unit_pd(_mm_min_ps(v, a), _mm_set1_ps(1.0f));
  } else {
    // Colours × alpha, alpha × 1.
    const __m128 m = _mm_move_ss(a, _mm_set1_ps(1.0f));
    return from_unit_pd(v, m);
  }
}

// Four pixels' A,R,G,B lanes (each 0..255) stored as R,G,B,A bytes.
inline void store_rgba4(uint8_t* out, __m128i p0, __m128i p1, __m128i p2, __m128i p3) {
  const __m128i argb = _mm_packus_epi16(_mm_packs_epi32(p0, p1), _mm_packs_epi32(p2, p3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(_mm_srli_epi32(argb, 8), _mm_slli_epi32(argb, 24)));
}

// Answers how many pixels of the row it converted (a multiple of 4).
template <bool Premul>
uint32_t row32_simd(const uint8_t* in, uint8_t* out, uint32_t width) {
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 64, out += 16) {
    store_rgba4(out, pixel32<Premul>(in), pixel32<Premul>(in + 16), pixel32<Premul>(in + 32),
                pixel32<Premul>(in + 48));
  }
  return x;
}
#endif

#if defined(VEL_CONVERT_AVX2)
#define VEL_AVX2 __attribute__((target("avx2")))
// The same operations as `pixel32`, the four channels of a pixel in one
// vector of doubles. No fused multiply-add: AVX2 alone does not enable it,
// and a fused product would round differently from the plain path.
template <bool Premul>
VEL_AVX2 inline __m128i pixel32_avx2(const uint8_t* in) {
  const __m128 v = _mm_min_ps(_mm_max_ps(_mm_loadu_ps(reinterpret_cast<const float*>(in)), _mm_setzero_ps()),
                              _mm_set1_ps(1.0f));
  const __m128 a = _mm_shuffle_ps(v, v, 0);
  // Premultiplied: the colours at most alpha (a product by 1 changes
  // nothing); straight: colours x alpha, alpha x 1.
  const __m256d product =
      Premul ? _mm256_cvtps_pd(_mm_min_ps(v, a))
             : _mm256_mul_pd(_mm256_cvtps_pd(v), _mm256_cvtps_pd(_mm_move_ss(a, _mm_set1_ps(1.0f))));
  return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(product, _mm256_set1_pd(255.0)), _mm256_set1_pd(0.5)));
}

template <bool Premul>
VEL_AVX2 uint32_t row32_avx2(const uint8_t* in, uint8_t* out, uint32_t width) {
  uint32_t x = 0;
  for (; x + 4 <= width; x += 4, in += 64, out += 16) {
    store_rgba4(out, pixel32_avx2<Premul>(in), pixel32_avx2<Premul>(in + 16), pixel32_avx2<Premul>(in + 32),
                pixel32_avx2<Premul>(in + 48));
  }
  return x;
}
#undef VEL_AVX2
#endif

Convert32Kernel best_kernel32() {
  static const Convert32Kernel best = convert32_kernel_available(Convert32Kernel::Avx2)   ? Convert32Kernel::Avx2
                                      : convert32_kernel_available(Convert32Kernel::Sse2) ? Convert32Kernel::Sse2
                                                                                           : Convert32Kernel::Plain;
  return best;
}

// Answers how many pixels of the row the vector form converted.
uint32_t row32_lanes(Convert32Kernel kernel, const uint8_t* in, uint8_t* out, uint32_t width, bool premul) {
  switch (kernel) {
    case Convert32Kernel::Plain:
      break;
    case Convert32Kernel::Sse2:
#if defined(__SSE2__)
      return premul ? row32_simd<true>(in, out, width) : row32_simd<false>(in, out, width);
#else
      break;
#endif
    case Convert32Kernel::Avx2:
#if defined(VEL_CONVERT_AVX2)
      return premul ? row32_avx2<true>(in, out, width) : row32_avx2<false>(in, out, width);
#else
      break;
#endif
  }
  return 0;
}

void rows32(Convert32Kernel kernel, const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  if (!convert32_kernel_available(kernel)) kernel = Convert32Kernel::Plain;
  const uint32_t width = s.width;
  const size_t out_row = static_cast<size_t>(width) * 4;
  const bool premul = s.alpha == AlphaKind::Premultiplied;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    row32_scalar(in, out, row32_lanes(kernel, in, out, width, premul), width, premul);
  }
}

}  // namespace

Result<size_t> checked_rgba_length(const HostPixels& src) {
  if (src.base == nullptr) return err("convert: world has no pixels");
  if (src.width == 0 || src.height == 0) return err("convert: empty world");
  if (src.depth != SourceDepth::Bpc8 && src.depth != SourceDepth::Bpc16 && src.depth != SourceDepth::Bpc32) {
    return err("convert: unsupported depth " + std::to_string(static_cast<int>(src.depth)));
  }
  const uint64_t in_row = static_cast<uint64_t>(src.width) * source_pixel_bytes(src.depth);
  if (src.row_bytes < 0 || static_cast<uint64_t>(src.row_bytes) < in_row) {
    return err("convert: row bytes " + std::to_string(src.row_bytes) + " below " + std::to_string(in_row));
  }
  // width × height × 4 and the source span can pass 64 bits: measure wide.
  const unsigned __int128 exact = static_cast<unsigned __int128>(src.width) * src.height * 4;
  const unsigned __int128 span = static_cast<unsigned __int128>(src.row_bytes) * src.height;
  if (exact > std::numeric_limits<size_t>::max() / 2 || span > static_cast<unsigned __int128>(INT64_MAX)) {
    return err("convert: world too large");
  }
  return static_cast<size_t>(exact);
}

void convert_rows(const HostPixels& src, uint32_t row_begin, uint32_t row_end, uint8_t* dst) {
  row_end = std::min(row_end, src.height);
  if (row_begin >= row_end) return;
  switch (src.depth) {
    case SourceDepth::Bpc8:
      rows8(src, row_begin, row_end, dst);
      break;
    case SourceDepth::Bpc16:
      rows16(src, row_begin, row_end, dst);
      break;
    case SourceDepth::Bpc32:
      rows32(best_kernel32(), src, row_begin, row_end, dst);
      break;
  }
}

bool convert32_kernel_available(Convert32Kernel kernel) {
  switch (kernel) {
    case Convert32Kernel::Plain:
      return true;
    case Convert32Kernel::Sse2:
#if defined(__SSE2__)
      return true;
#else
      return false;
#endif
    case Convert32Kernel::Avx2:
#if defined(VEL_CONVERT_AVX2)
      return cpu_has_avx2();
#else
      return false;
#endif
  }
  return false;
}

void convert_rows32_with(Convert32Kernel kernel, const HostPixels& src, uint32_t row_begin, uint32_t row_end,
                         uint8_t* dst) {
  row_end = std::min(row_end, src.height);
  if (src.depth != SourceDepth::Bpc32 || row_begin >= row_end) return;
  rows32(kernel, src, row_begin, row_end, dst);
}

uint32_t convert_band_count(uint32_t width, uint32_t height, SourceDepth depth, uint32_t hardware_threads) {
  const uint64_t per_band = depth == SourceDepth::Bpc8 ? kBandPixels8 : kBandPixelsDeep;
  const uint64_t by_work = static_cast<uint64_t>(width) * height / per_band;
  uint64_t n = std::min<uint64_t>(by_work, std::clamp<uint32_t>(hardware_threads, 1, 8));
  n = std::min<uint64_t>(n, height / 64);
  return static_cast<uint32_t>(std::max<uint64_t>(n, 1));
}

uint32_t convert_band_count_here(uint32_t width, uint32_t height, SourceDepth depth) {
  return convert_band_count(width, height, depth, usable_cpu_count().value_or(1));
}

Status<> convert_to_rgba(const HostPixels& src, uint8_t* dst, size_t dst_len) {
  auto len = checked_rgba_length(src);
  if (!len.ok()) return err(len.error());
  if (dst == nullptr || dst_len != len.value()) return err("convert: destination length mismatch");

  const uint32_t bands = convert_band_count_here(src.width, src.height, src.depth);
  if (bands <= 1) {
    convert_rows(src, 0, src.height, dst);
    return ok_unit();
  }
  const uint32_t per = (src.height + bands - 1) / bands;
  std::vector<std::thread> helpers;
  helpers.reserve(bands - 1);
  for (uint32_t b = 1; b < bands; ++b) {
    const uint32_t r0 = b * per;
    const uint32_t r1 = std::min(src.height, r0 + per);
    if (r0 >= r1) break;
    auto t = spawn_named_thread("velocinta-convert", [&src, r0, r1, dst] { convert_rows(src, r0, r1, dst); });
    if (t.ok()) {
      helpers.push_back(std::move(t.value()));
    } else {
      log_line("ERROR", "convert: thread unavailable: " + t.error());
      convert_rows(src, r0, r1, dst);
    }
  }
  convert_rows(src, 0, std::min(per, src.height), dst);
  for (auto& t : helpers) t.join();
  return ok_unit();
}

}  // namespace vel
