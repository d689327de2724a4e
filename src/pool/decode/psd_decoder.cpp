#include "pool/decode/psd_decoder.h"

#include <algorithm>
#include <array>
#include <vector>

#include "pool/decode/packbits.h"
#include "pool/decode/premultiply_simd.h"

namespace vel {

namespace {

constexpr size_t kMinFileBytes = 30;
constexpr uint32_t kMaxChannels = 56;
constexpr size_t kMaxUsedPlanes = 4;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

#if defined(VEL_POOL_SSE2)
// Samples x .. x + 15 of a plane row read at `stride` 1 or 2 bytes (the
// high byte of a big-endian 16-bit sample comes first).
inline __m128i sixteen_samples(const uint8_t* plane, uint64_t x, size_t stride) {
  if (stride == 1) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + x));
  const __m128i low_bytes = _mm_set1_epi16(0xFF);
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + 2 * x));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + 2 * x + 16));
  return _mm_packus_epi16(_mm_and_si128(a, low_bytes), _mm_and_si128(b, low_bytes));
}
#endif

// One output row from 3 or 4 plane rows; pixel x reads byte x × stride.
template <size_t kPlanes, size_t kOutBpp, bool kWide>
void interleave_row(uint8_t* out, uint64_t out_width, const std::span<const uint8_t>* planes, size_t stride) {
  const uint8_t* r = planes[0].data();
  const uint8_t* g = planes[1].data();
  const uint8_t* b = planes[2].data();
  const uint8_t* a = kPlanes == 4 ? planes[3].data() : nullptr;
  uint64_t x = 0;
#if defined(VEL_POOL_SSE2)
  if (kWide && kOutBpp == 4 && (stride == 1 || stride == 2)) {
    // Sixteen pixels a round: premultiplied while still in planes, where
    // one multiply serves eight samples of a colour (three planes: alpha
    // 255, nothing to do), then interleaved by unpacking.
    // At stride 2 a round reads both bytes of its last sample: the rows
    // are only known to hold the first.
    uint64_t wide_width = out_width;
    for (size_t c = 0; c < kPlanes && stride == 2; ++c) {
      wide_width = std::min<uint64_t>(wide_width, planes[c].size() / 2);
    }
    for (; x + 16 <= wide_width; x += 16, out += 64) {
      __m128i vr = sixteen_samples(r, x, stride), vg = sixteen_samples(g, x, stride);
      __m128i vb = sixteen_samples(b, x, stride);
      __m128i va = _mm_set1_epi8(static_cast<char>(0xFF));
      if constexpr (kPlanes == 4) {
        va = sixteen_samples(a, x, stride);
        premultiply_planes(vr, vg, vb, va);
      }
      const __m128i rg_lo = _mm_unpacklo_epi8(vr, vg), rg_hi = _mm_unpackhi_epi8(vr, vg);
      const __m128i ba_lo = _mm_unpacklo_epi8(vb, va), ba_hi = _mm_unpackhi_epi8(vb, va);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(rg_lo, ba_lo));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_unpackhi_epi16(rg_lo, ba_lo));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_unpacklo_epi16(rg_hi, ba_hi));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48), _mm_unpackhi_epi16(rg_hi, ba_hi));
    }
  }
#endif
  for (; x < out_width; ++x, out += kOutBpp) {
    const size_t at = x * stride;
    if constexpr (kPlanes == 4) {
      const uint8_t alpha = a[at];
      out[0] = premultiply(r[at], alpha);
      out[1] = premultiply(g[at], alpha);
      out[2] = premultiply(b[at], alpha);
      out[3] = alpha;
    } else {
      out[0] = r[at];
      out[1] = g[at];
      out[2] = b[at];
      if constexpr (kOutBpp == 4) out[3] = 255;
    }
  }
}

bool rows_long_enough(uint64_t out_width, const std::span<const uint8_t>* planes, size_t stride, size_t count) {
  const uint64_t last = (out_width - 1) * stride;
  for (size_t c = 0; c < count; ++c) {
    if (planes[c].size() <= last) return false;
  }
  return true;
}

template <bool kWide>
bool interleave(uint8_t* out, uint64_t out_width, size_t out_bpp, const std::span<const uint8_t>* planes,
                size_t stride, size_t plane_count) {
  if (out_width == 0 || (plane_count != 3 && plane_count != 4)) return false;
  if (!rows_long_enough(out_width, planes, stride, plane_count)) return false;
  if (plane_count == 4) {
    interleave_row<4, 4, kWide>(out, out_width, planes, stride);
  } else if (out_bpp == 4) {
    interleave_row<3, 4, kWide>(out, out_width, planes, stride);
  } else {
    interleave_row<3, 3, kWide>(out, out_width, planes, stride);
  }
  return true;
}

// The image data of one file as rows of planes, in stored order: slices of
// raw planes, or PackBits rows unpacked into per-plane row buffers. Every
// row is checked against the file before it is handed out.
class PlaneRows {
 public:
  PlaneRows(std::span<const uint8_t> data, const PsdHeader& h)
      : data_(data), h_(h), bytes_per_sample_(h.depth / 8), row_bytes_(h.width * bytes_per_sample_),
        used_(std::min<size_t>(h.channels, kMaxUsedPlanes)) {}

  bool open() {
    if (h_.compression == 0) {
      const uint64_t plane_bytes = row_bytes_ * h_.height;
      return h_.channels * plane_bytes <= data_.size() - h_.data_offset;
    }
    if (h_.compression != 1) return false;
    const uint64_t table_bytes = uint64_t{h_.channels} * h_.height * 2;
    if (table_bytes > data_.size() - h_.data_offset) return false;
    uint64_t pos = h_.data_offset + table_bytes;
    // A packet yields at most 128 bytes for at least 2: a used row shorter
    // than that is refused here, before any output is allocated.
    const uint64_t least_row = (row_bytes_ + 127) / 128 * 2;
    for (uint32_t c = 0; c < h_.channels; ++c) {
      if (c < used_) {
        next_row_[c] = pos;
        row_buffers_[c].resize(row_bytes_);
      }
      for (uint64_t y = 0; y < h_.height; ++y) {
        const uint64_t count = count_of(c, y);
        if (count > data_.size() - pos || (c < used_ && count < least_row)) return false;
        if (c >= used_ && !check_packbits_row(data_.subspan(pos, count), row_bytes_)) return false;
        pos += count;
      }
    }
    return true;
  }

  size_t used() const { return used_; }
  size_t bytes_per_sample() const { return bytes_per_sample_; }

  // Row y of every used plane into `rows`, in the order y = 0, 1, ...; only
  // checked (rows left empty) when `wanted` is false.
  bool next(uint64_t y, bool wanted, std::span<const uint8_t>* rows) {
    for (size_t c = 0; c < used_; ++c) {
      if (h_.compression == 0) {
        const uint64_t plane_bytes = row_bytes_ * h_.height;
        rows[c] = data_.subspan(h_.data_offset + c * plane_bytes + y * row_bytes_, row_bytes_);
        continue;
      }
      const uint64_t count = count_of(c, y);
      const std::span<const uint8_t> packed = data_.subspan(next_row_[c], count);
      next_row_[c] += count;
      if (!wanted) {
        if (!check_packbits_row(packed, row_bytes_)) return false;
        continue;
      }
      if (!unpack_bits_row(packed, row_bytes_, row_buffers_[c].data())) return false;
      rows[c] = row_buffers_[c];
    }
    return true;
  }

 private:
  uint64_t count_of(uint64_t channel, uint64_t y) const {
    return be16(data_.data() + h_.data_offset + (channel * h_.height + y) * 2);
  }

  std::span<const uint8_t> data_;
  const PsdHeader& h_;
  const size_t bytes_per_sample_;
  const uint64_t row_bytes_;
  const size_t used_;
  std::array<uint64_t, kMaxUsedPlanes> next_row_{};
  std::array<std::vector<uint8_t>, kMaxUsedPlanes> row_buffers_;
};

std::optional<DecodedImage> decode_planes(std::span<const uint8_t> data, uint64_t step, bool always_rgba,
                                          PixelPath path) {
  if (step == 0) return std::nullopt;
  const std::optional<PsdHeader> h = parse_psd_header(data);
  if (!h) return std::nullopt;
  PlaneRows rows(data, *h);
  if (!rows.open()) return std::nullopt;
  const size_t out_bpp = always_rgba || rows.used() == 4 ? 4 : 3;
  const uint64_t out_w = sampled_side(h->width, step), out_h = sampled_side(h->height, step);
  std::optional<ByteBuffer> buffer = take_image_buffer(out_w * out_h * out_bpp);
  if (!buffer) return std::nullopt;
  std::array<std::span<const uint8_t>, kMaxUsedPlanes> plane_rows{};
  const size_t stride = step * rows.bytes_per_sample();
  for (uint64_t y = 0; y < h->height; ++y) {
    const bool wanted = y % step == 0 && y / step < out_h;
    bool ok = rows.next(y, wanted, plane_rows.data());
    if (ok && wanted) {
      const auto row = path == PixelPath::Wide ? interleave<true> : interleave<false>;
      ok = row(buffer->data() + (y / step) * out_w * out_bpp, out_w, out_bpp, plane_rows.data(), stride,
                      rows.used());
    }
    if (!ok) {
      return_pooled_buffer(std::move(*buffer));
      return std::nullopt;
    }
    // Raw rows past the last sampled one need no check: open() bounded them.
    if (h->compression == 0 && y / step + 1 >= out_h && y % step == 0) break;
  }
  return DecodedImage{std::move(*buffer), out_w, out_h, static_cast<uint8_t>(out_bpp)};
}

}  // namespace

std::optional<PsdHeader> parse_psd_header(std::span<const uint8_t> data) {
  const size_t len = data.size();
  if (len < kMinFileBytes) return std::nullopt;
  const uint8_t* p = data.data();
  if (p[0] != '8' || p[1] != 'B' || p[2] != 'P' || p[3] != 'S') return std::nullopt;
  if (be16(p + 4) != 1 || be16(p + 24) != 3) return std::nullopt;
  PsdHeader h;
  h.depth = be16(p + 22);
  if (h.depth != 8 && h.depth != 16) return std::nullopt;
  h.channels = be16(p + 12);
  if (h.channels < 3 || h.channels > kMaxChannels) return std::nullopt;
  h.height = be32(p + 14);
  h.width = be32(p + 18);
  if (!image_size_allowed(h.width, h.height)) return std::nullopt;
  // Three length-prefixed sections, each skipped whole; u32 sums cannot
  // overflow 64 bits.
  uint64_t pos = 26;
  for (int section = 0; section < 3; ++section) {
    if (len - pos < 4) return std::nullopt;
    const uint64_t skip = be32(p + pos);
    pos += 4;
    if (skip > len - pos) return std::nullopt;
    pos += skip;
  }
  if (len - pos < 2) return std::nullopt;
  h.compression = be16(p + pos);
  h.data_offset = pos + 2;
  return h;
}

bool plane_to_8bit(std::span<const uint8_t> plane, unsigned bytes_per_sample, uint8_t* out) {
  if (bytes_per_sample == 1) {
    std::copy(plane.begin(), plane.end(), out);
    return true;
  }
  if (bytes_per_sample != 2 || plane.size() % 2 != 0) return false;
  for (size_t i = 0; i < plane.size(); i += 2) *out++ = plane[i];
  return true;
}

bool interleave_planes_row(uint8_t* out, uint64_t out_width, const std::span<const uint8_t>* planes,
                           size_t stride, size_t plane_count) {
  return interleave<true>(out, out_width, 4, planes, stride, plane_count);
}

std::optional<DecodedImage> decode_psd(std::span<const uint8_t> data, PixelPath path) {
  return decode_planes(data, 1, false, path);
}

std::optional<DecodedImage> decode_psd_sampled(std::span<const uint8_t> data, uint64_t step, PixelPath path) {
  return decode_planes(data, step, true, path);
}

}  // namespace vel
