#include "pool/decode/tga_decoder.h"

#include <algorithm>
#include <cstring>

#include "core/machine.h"
#include "pool/decode/premultiply_simd.h"

#if defined(VEL_POOL_SSE2)
#include <immintrin.h>
#endif

namespace vel {

namespace {

constexpr size_t kHeaderBytes = 18;
constexpr size_t kFooterBytes = 26;
constexpr size_t kExtensionBytes = 495;
constexpr char kSignature[] = "TRUEVISION-XFILE.";  // with its zero byte: 18 bytes

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The footer's offsets bound the image data and may override the alpha mode.
bool apply_footer(std::span<const uint8_t> data, uint8_t alpha_bits, TgaHeader& h) {
  const size_t len = data.size();
  h.data_end = len;
  if (len < sizeof kSignature || std::memcmp(data.data() + len - sizeof kSignature, kSignature, sizeof kSignature) != 0) {
    return true;
  }
  if (len < kFooterBytes) return false;
  const size_t footer_start = len - kFooterBytes;
  // An image id that runs into the footer leaves no image data at all.
  if (footer_start < h.data_start) return false;
  const uint64_t extension = le32(data.data() + footer_start);
  const uint64_t developer = le32(data.data() + footer_start + 4);
  h.data_end = footer_start;
  for (uint64_t offset : {extension, developer}) {
    if (offset == 0) continue;
    if (offset < h.data_start || offset >= footer_start) return false;
    h.data_end = std::min<size_t>(h.data_end, offset);
  }
  if (extension == 0) return true;
  if (extension + kExtensionBytes > footer_start) return false;
  if (le16(data.data() + extension) != kExtensionBytes) return false;
  switch (data[extension + 494]) {
    case 0:
    case 1:
      h.alpha = TgaAlphaMode::Ignore;
      return true;
    case 3:
      h.alpha = TgaAlphaMode::Straight;
      return alpha_bits != 0;
    case 4:
      h.alpha = TgaAlphaMode::Premultiplied;
      return alpha_bits != 0;
    default:
      return false;
  }
}

#if defined(VEL_POOL_SSE2)
#define VEL_TGA_AVX2 __attribute__((target("avx2")))

// Eight stored B G R A pixels a round to R G B A, for rows read left to
// right at step 1; the count of pixels done (a multiple of eight). Same
// rules as the scalar loop: colour c under alpha a is (t + (t >> 8)) >> 8
// with t = c × a + 128, the alpha lane multiplied by 255 gives a back.
template <TgaAlphaMode kMode>
VEL_TGA_AVX2 uint64_t targa_row_avx2(const uint8_t* src, uint8_t* dst, uint64_t count) {
#define VEL_LANES(...) __VA_ARGS__, __VA_ARGS__
  const __m256i to_rgba = _mm256_setr_epi8(VEL_LANES(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15));
  const __m256i alpha_lo = _mm256_setr_epi8(VEL_LANES(3, -1, 3, -1, 3, -1, -1, -1, 7, -1, 7, -1, 7, -1, -1, -1));
  const __m256i alpha_hi =
      _mm256_setr_epi8(VEL_LANES(11, -1, 11, -1, 11, -1, -1, -1, 15, -1, 15, -1, 15, -1, -1, -1));
  const __m256i own_alpha = _mm256_setr_epi16(VEL_LANES(0, 0, 0, 255, 0, 0, 0, 255));
#undef VEL_LANES
  const __m256i alpha_bytes = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  const __m256i zero = _mm256_setzero_si256(), half = _mm256_set1_epi16(128);
  uint64_t x = 0;
  for (; x + 8 <= count; x += 8, src += 32, dst += 32) {
    const __m256i px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    __m256i v = _mm256_shuffle_epi8(px, to_rgba);
    if constexpr (kMode == TgaAlphaMode::Ignore) {
      v = _mm256_or_si256(v, alpha_bytes);
    } else if constexpr (kMode == TgaAlphaMode::Straight) {
      const __m256i alpha = _mm256_and_si256(px, alpha_bytes);
      const bool opaque = _mm256_movemask_epi8(_mm256_cmpeq_epi32(alpha, alpha_bytes)) == -1;
      if (!opaque && !_mm256_testz_si256(px, px)) {
        // Within each 128-bit lane: pixels 0-1 and 2-3 as 16-bit lanes,
        // packed back in order by packus.
        __m256i lo = _mm256_unpacklo_epi8(v, zero), hi = _mm256_unpackhi_epi8(v, zero);
        const __m256i factor_lo = _mm256_or_si256(_mm256_shuffle_epi8(px, alpha_lo), own_alpha);
        const __m256i factor_hi = _mm256_or_si256(_mm256_shuffle_epi8(px, alpha_hi), own_alpha);
        lo = _mm256_add_epi16(_mm256_mullo_epi16(lo, factor_lo), half);
        hi = _mm256_add_epi16(_mm256_mullo_epi16(hi, factor_hi), half);
        lo = _mm256_srli_epi16(_mm256_add_epi16(lo, _mm256_srli_epi16(lo, 8)), 8);
        hi = _mm256_srli_epi16(_mm256_add_epi16(hi, _mm256_srli_epi16(hi, 8)), 8);
        v = _mm256_packus_epi16(lo, hi);
      }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
  }
  return x;
}
#endif

// Sampled pixels `stride` bytes apart in the stored row (negative when
// stored right to left) to consecutive output pixels. Templated so that each
// mode compiles to a tight loop; kWide adds the SSE2 blocks of four.
template <TgaAlphaMode kMode, int kBpp, bool kWide>
void convert_row(const uint8_t* src, ptrdiff_t stride, uint8_t* dst, uint64_t count) {
  uint64_t x = 0;
#if defined(VEL_POOL_SSE2)
  if constexpr (kWide && kBpp == 4) {
    constexpr bool kPremultiply = kMode == TgaAlphaMode::Straight, kOpaque = kMode == TgaAlphaMode::Ignore;
    if (stride == 4) {
      if (count >= 8 && cpu_has_avx2()) {
        x = targa_row_avx2<kMode>(src, dst, count);
        src += x * 4;
        dst += x * 4;
      }
      for (; x + 4 <= count; x += 4, src += 16, dst += 16) {
        const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), targa_four_pixels(px, kPremultiply, kOpaque));
      }
    } else if (stride == -4) {
      // Stored right to left: the four pixels ending at src, reversed.
      for (; x + 4 <= count; x += 4, src -= 16, dst += 16) {
        const __m128i px = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src - 12)), 0x1B);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), targa_four_pixels(px, kPremultiply, kOpaque));
      }
    }
  }
#endif
  for (; x < count; ++x, src += stride, dst += 4) {
    const uint8_t b = src[0], g = src[1], r = src[2];
    if constexpr (kMode == TgaAlphaMode::Straight) {
      const uint8_t a = src[3];
      dst[0] = premultiply(r, a);
      dst[1] = premultiply(g, a);
      dst[2] = premultiply(b, a);
      dst[3] = a;
    } else if constexpr (kMode == TgaAlphaMode::Premultiplied) {
      dst[0] = r;
      dst[1] = g;
      dst[2] = b;
      dst[3] = src[3];
    } else {
      dst[0] = r;
      dst[1] = g;
      dst[2] = b;
      dst[3] = 255;
    }
  }
}

// One converted pixel repeated over `count` consecutive output pixels.
template <bool kWide>
void fill_pixels(const uint8_t rgba[4], uint8_t* dst, uint64_t count) {
  uint64_t x = 0;
#if defined(VEL_POOL_SSE2)
  if constexpr (kWide) {
    int32_t value;
    std::memcpy(&value, rgba, 4);
    const __m128i v = _mm_set1_epi32(value);
    for (; x + 4 <= count; x += 4, dst += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
  }
#endif
  for (; x < count; ++x, dst += 4) std::memcpy(dst, rgba, 4);
}

using RowConverter = void (*)(const uint8_t*, ptrdiff_t, uint8_t*, uint64_t);

bool decode_raw(std::span<const uint8_t> data, const TgaHeader& h, uint64_t step, uint64_t out_w, uint64_t out_h,
                uint8_t* out, RowConverter convert) {
  const uint64_t row_bytes = h.width * h.bytes_per_pixel;
  if (h.data_end - h.data_start < row_bytes * h.height) return false;
  const ptrdiff_t stride = static_cast<ptrdiff_t>(step * h.bytes_per_pixel) * (h.right_to_left ? -1 : 1);
  const uint64_t first_col = h.right_to_left ? h.width - 1 : 0;
  for (uint64_t y = 0; y < out_h; ++y) {
    const uint64_t stored_row = h.top_to_bottom ? y * step : (h.height - 1) - y * step;
    const uint8_t* row = data.data() + h.data_start + stored_row * row_bytes;
    convert(row + first_col * h.bytes_per_pixel, stride, out + y * out_w * 4, out_w);
  }
  return true;
}

// Where the run-length stream's pixels land. Stored order runs across row
// ends, so a packet is cut at each row end into spans of one stored row;
// each span is mirrored into image coordinates and narrowed to the sampling
// grid with a few divisions, not a test per pixel. Sides are at most 30000,
// so column arithmetic fits 32 bits, whose division is the cheap one.
class RowSpans {
 public:
  RowSpans(const TgaHeader& h, uint32_t step, uint64_t out_w, uint64_t out_h, uint8_t* out)
      : h_(h), width_(static_cast<uint32_t>(h.width)), step_(step), out_w_(static_cast<uint32_t>(out_w)),
        out_h_(out_h), out_(out) {
    enter_row();
  }

  uint32_t col() const { return col_; }
  uint32_t left_in_row() const { return width_ - col_; }

  // The output pixels of the next `n` stored pixels of this row (n at most
  // left_in_row()): `first` is the first of them, `skip` how many stored
  // pixels precede the one that lands there, `count` how many there are.
  struct Span {
    uint8_t* first = nullptr;
    uint32_t skip = 0;
    uint32_t count = 0;
  };
  Span span(uint32_t n) const {
    if (row_out_ == nullptr) return {};
    // The image columns the stored columns [col_, col_ + n) cover.
    const uint32_t lo = h_.right_to_left ? width_ - col_ - n : col_;
    const uint32_t hi = lo + n - 1;
    uint32_t xa = lo, xb = hi;
    if (step_ != 1) {
      xa = (lo + step_ - 1) / step_;
      xb = hi / step_;
    }
    xb = std::min(xb, out_w_ - 1);
    if (xa > xb) return {};
    const uint32_t image_col = xa * step_;
    const uint32_t stored_col = h_.right_to_left ? width_ - 1 - image_col : image_col;
    return {row_out_ + uint64_t{xa} * 4, stored_col - col_, xb - xa + 1};
  }

  void advance(uint32_t n) {
    col_ += n;
    if (col_ == width_) {
      col_ = 0;
      ++row_;
      enter_row();
    }
  }

 private:
  void enter_row() {
    row_out_ = nullptr;
    if (row_ >= h_.height) return;
    const uint64_t image_row = h_.top_to_bottom ? row_ : h_.height - 1 - row_;
    if (image_row % step_ == 0 && image_row / step_ < out_h_) row_out_ = out_ + image_row / step_ * out_w_ * 4;
  }

  const TgaHeader& h_;
  const uint32_t width_, step_, out_w_;
  const uint64_t out_h_;
  uint8_t* const out_;
  uint64_t row_ = 0;
  uint32_t col_ = 0;
  uint8_t* row_out_ = nullptr;
};

// Packets are bounded once each against the image data and the pixel count;
// the spans they are cut into only ever land inside the output.
template <TgaAlphaMode kMode, int kBpp, bool kWide>
bool decode_run_length(std::span<const uint8_t> data, const TgaHeader& h, uint32_t step, uint64_t out_w,
                       uint64_t out_h, uint8_t* out) {
  const uint64_t total = h.width * h.height;
  const ptrdiff_t stride = h.right_to_left ? -kBpp : kBpp;
  RowSpans rows(h, step, out_w, out_h, out);
  const uint8_t* const bytes = data.data();
  uint64_t produced = 0;
  size_t pos = h.data_start;
  while (produced < total) {
    if (pos >= h.data_end) return false;
    const uint8_t packet = bytes[pos++];
    const uint32_t count = (packet & 127u) + 1;
    if (count > total - produced) return false;
    const bool repeat = (packet & 128u) != 0;
    const size_t packet_bytes = repeat ? kBpp : size_t{count} * kBpp;
    if (h.data_end - pos < packet_bytes) return false;
    const uint8_t* src = bytes + pos;
    uint8_t rgba[4];
    if (repeat) convert_row<kMode, kBpp, false>(src, 0, rgba, 1);
    for (uint32_t left = count; left > 0;) {
      const uint32_t n = std::min(left, rows.left_in_row());
      const RowSpans::Span s = rows.span(n);
      if (s.count != 0) {
        if (repeat) {
          fill_pixels<kWide>(rgba, s.first, s.count);
        } else {
          convert_row<kMode, kBpp, kWide>(src + size_t{s.skip} * kBpp, stride * step, s.first, s.count);
        }
      }
      if (!repeat) src += size_t{n} * kBpp;
      rows.advance(n);
      left -= n;
    }
    pos += packet_bytes;
    produced += count;
  }
  return true;
}

// Both readers for one stored layout, chosen once per file.
struct TgaReaders {
  RowConverter raw_row;
  bool (*run_length)(std::span<const uint8_t>, const TgaHeader&, uint32_t, uint64_t, uint64_t, uint8_t*);
};

template <TgaAlphaMode kMode, int kBpp, bool kWide>
constexpr TgaReaders readers_for() {
  return {convert_row<kMode, kBpp, kWide>, decode_run_length<kMode, kBpp, kWide>};
}

template <bool kWide>
TgaReaders readers(TgaAlphaMode mode, uint8_t bpp) {
  if (bpp == 3) return readers_for<TgaAlphaMode::Ignore, 3, kWide>();
  switch (mode) {
    case TgaAlphaMode::Straight:
      return readers_for<TgaAlphaMode::Straight, 4, kWide>();
    case TgaAlphaMode::Premultiplied:
      return readers_for<TgaAlphaMode::Premultiplied, 4, kWide>();
    case TgaAlphaMode::Ignore:
      break;
  }
  return readers_for<TgaAlphaMode::Ignore, 4, kWide>();
}

}  // namespace

std::optional<TgaHeader> parse_tga_header(std::span<const uint8_t> data) {
  if (data.size() < kHeaderBytes) return std::nullopt;
  const uint8_t* p = data.data();
  const uint8_t id_length = p[0], map_type = p[1], image_type = p[2];
  if (map_type != 0 || (image_type != 2 && image_type != 10)) return std::nullopt;
  for (int i = 3; i < 8; ++i) {
    if (p[i] != 0) return std::nullopt;
  }
  TgaHeader h;
  h.width = le16(p + 12);
  h.height = le16(p + 14);
  if (!image_size_allowed(h.width, h.height)) return std::nullopt;
  const uint8_t depth = p[16], descriptor = p[17];
  const uint8_t alpha_bits = descriptor & 15u;
  if (descriptor & 0xC0u) return std::nullopt;
  if (depth == 24) {
    if (alpha_bits != 0) return std::nullopt;
    h.bytes_per_pixel = 3;
  } else if (depth == 32) {
    if (alpha_bits != 0 && alpha_bits != 8) return std::nullopt;
    h.bytes_per_pixel = 4;
    if (alpha_bits == 8) h.alpha = TgaAlphaMode::Straight;
  } else {
    return std::nullopt;
  }
  h.right_to_left = (descriptor & 0x10u) != 0;
  h.top_to_bottom = (descriptor & 0x20u) != 0;
  h.run_length = image_type == 10;
  h.data_start = kHeaderBytes + id_length;
  if (h.data_start > data.size()) return std::nullopt;
  if (!apply_footer(data, alpha_bits, h)) return std::nullopt;
  return h;
}

bool convert_tga_pixel(const uint8_t* stored, size_t stored_bytes, TgaAlphaMode mode, uint8_t out[4]) {
  if (stored_bytes < 3 || (stored_bytes == 3 && mode != TgaAlphaMode::Ignore)) return false;
  if (mode == TgaAlphaMode::Ignore) {
    convert_row<TgaAlphaMode::Ignore, 3, false>(stored, 0, out, 1);
  } else if (mode == TgaAlphaMode::Straight) {
    convert_row<TgaAlphaMode::Straight, 4, false>(stored, 0, out, 1);
  } else {
    convert_row<TgaAlphaMode::Premultiplied, 4, false>(stored, 0, out, 1);
  }
  return true;
}

std::optional<DecodedImage> decode_tga(std::span<const uint8_t> data, uint64_t step, PixelPath path) {
  if (step == 0) return std::nullopt;
  const std::optional<TgaHeader> header = parse_tga_header(data);
  if (!header) return std::nullopt;
  // A file too short for the image it declares is refused before its
  // output is allocated: raw data must hold every pixel, and a run-length
  // packet yields at most 128 pixels for at least 1 + bytes-per-pixel bytes.
  const uint64_t pixels = header->width * header->height, bpp = header->bytes_per_pixel;
  const uint64_t least_bytes = header->run_length ? (pixels + 127) / 128 * (1 + bpp) : pixels * bpp;
  if (header->data_end - header->data_start < least_bytes) return std::nullopt;
  // The first run-length pixel would fail to convert: no stored alpha to use.
  if (header->run_length && bpp == 3 && header->alpha != TgaAlphaMode::Ignore) return std::nullopt;
  const uint64_t out_w = sampled_side(header->width, step), out_h = sampled_side(header->height, step);
  std::optional<ByteBuffer> buffer = take_image_buffer(out_w * out_h * 4);
  if (!buffer) return std::nullopt;
  const TgaReaders read = path == PixelPath::Wide ? readers<true>(header->alpha, header->bytes_per_pixel)
                                                  : readers<false>(header->alpha, header->bytes_per_pixel);
  // A step past the image's sides samples like one equal to them: one pixel.
  const uint32_t span_step = static_cast<uint32_t>(std::min<uint64_t>(step, kMaxImageSide + 1));
  const bool ok = header->run_length ? read.run_length(data, *header, span_step, out_w, out_h, buffer->data())
                                     : decode_raw(data, *header, step, out_w, out_h, buffer->data(), read.raw_row);
  if (!ok) {
    return_pooled_buffer(std::move(*buffer));
    return std::nullopt;
  }
  return DecodedImage{std::move(*buffer), out_w, out_h, 4};
}

}  // namespace vel
