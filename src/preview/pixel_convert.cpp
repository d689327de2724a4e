#include "preview/pixel_convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/threads.h"

namespace vel {

namespace {

// round(c × a / 255) for 8-bit c and a, exact for every pair (no pair lies
// on a half).
inline uint8_t mul_div255(uint32_t c, uint32_t a) {
  uint32_t t = c * a + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

inline uint32_t load_u16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return std::min<uint32_t>(v, kMax16);
}

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

void rows8(const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  const size_t out_row = static_cast<size_t>(s.width) * 4;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    if (s.alpha == AlphaKind::Premultiplied) {
      for (uint32_t x = 0; x < s.width; ++x, in += 4, out += 4) {
        const uint8_t a = in[0];
        out[0] = std::min(in[1], a);
        out[1] = std::min(in[2], a);
        out[2] = std::min(in[3], a);
        out[3] = a;
      }
    } else {
      for (uint32_t x = 0; x < s.width; ++x, in += 4, out += 4) {
        const uint32_t a = in[0];
        out[0] = mul_div255(in[1], a);
        out[1] = mul_div255(in[2], a);
        out[2] = mul_div255(in[3], a);
        out[3] = static_cast<uint8_t>(a);
      }
    }
  }
}

void rows16(const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  const size_t out_row = static_cast<size_t>(s.width) * 4;
  const bool premul = s.alpha == AlphaKind::Premultiplied;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    for (uint32_t x = 0; x < s.width; ++x, in += 8, out += 4) {
      const uint32_t a = load_u16(in);
      for (int c = 0; c < 3; ++c) {
        const uint32_t v = load_u16(in + 2 + 2 * c);
        out[c] = premul ? from16(std::min(v, a)) : from16_product(v, a);
      }
      out[3] = from16(a);
    }
  }
}

void rows32(const HostPixels& s, uint32_t r0, uint32_t r1, uint8_t* dst) {
  const size_t out_row = static_cast<size_t>(s.width) * 4;
  const bool premul = s.alpha == AlphaKind::Premultiplied;
  for (uint32_t y = r0; y < r1; ++y) {
    const uint8_t* in = s.base + static_cast<int64_t>(y) * s.row_bytes;
    uint8_t* out = dst + y * out_row;
    for (uint32_t x = 0; x < s.width; ++x, in += 16, out += 4) {
      const double a = load_unit_f32(in);
      for (int c = 0; c < 3; ++c) {
        const double v = load_unit_f32(in + 4 + 4 * c);
        out[c] = from_unit(premul ? std::min(v, a) : v * a);
      }
      out[3] = from_unit(a);
    }
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
      rows32(src, row_begin, row_end, dst);
      break;
  }
}

uint32_t convert_band_count(uint32_t width, uint32_t height, uint32_t hardware_threads) {
  if (static_cast<uint64_t>(width) * height < kParallelConvertPixels) return 1;
  uint32_t n = std::clamp<uint32_t>(hardware_threads, 1, 8);
  n = std::min(n, std::max<uint32_t>(height / 64, 1));
  return n;
}

Status<> convert_to_rgba(const HostPixels& src, uint8_t* dst, size_t dst_len) {
  auto len = checked_rgba_length(src);
  if (!len.ok()) return err(len.error());
  if (dst == nullptr || dst_len != len.value()) return err("convert: destination length mismatch");

  const uint32_t bands = convert_band_count(src.width, src.height, std::thread::hardware_concurrency());
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
