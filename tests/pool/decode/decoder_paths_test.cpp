// The decoders' SIMD and plain pixel paths against each other and against
// pixels worked out here from the image itself, over the layouts where the
// wide blocks, their tails and the run-length spans meet: odd widths, steps
// that do and do not divide the sides, every row and column order, and
// packets that run across row ends.
#include <gtest/gtest.h>

#include <random>

#include "pool/decode/image_bytes.h"
#include "pool/decode/psd_decoder.h"
#include "pool/decode/tga_decoder.h"

namespace vel {
namespace {

using testing::Bytes;

// Straight BGRA pixels in image order with what frames hold: transparent
// and opaque stretches long enough for whole SIMD blocks, equal neighbours
// for runs, and noise.
std::vector<uint8_t> image_bgra(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> px(size_t{w} * h * 4);
  for (size_t i = 0; i < size_t{w} * h; ++i) {
    uint8_t* p = &px[i * 4];
    switch (rng() % 5) {
      case 0:
        break;  // transparent
      case 1:
        p[0] = 10, p[1] = 20, p[2] = 30, p[3] = 255;
        break;
      case 2:
        if (i > 0) std::memcpy(p, p - 4, 4);  // same as the one before
        break;
      default:
        for (int c = 0; c < 4; ++c) p[c] = static_cast<uint8_t>(rng());
    }
  }
  return px;
}

struct TgaLayout {
  bool top_down = false, right_to_left = false;
  int depth = 32;
  int attributes = -2;  // as tga_append_footer; -2: no footer
};

TgaAlphaMode alpha_of(const TgaLayout& l) {
  if (l.depth == 24 || l.attributes == 0) return TgaAlphaMode::Ignore;
  return l.attributes == 4 ? TgaAlphaMode::Premultiplied : TgaAlphaMode::Straight;
}

// The stored pixel sequence, then raw or as packets: repeats of equal
// pixels and literals of at most `longest`, both crossing row ends.
Bytes stored_tga(const std::vector<uint8_t>& bgra, uint32_t w, uint32_t h, const TgaLayout& l, bool run_length,
                 size_t longest) {
  const size_t bpp = static_cast<size_t>(l.depth / 8);
  Bytes b = testing::tga_header({.image_type = static_cast<uint8_t>(run_length ? 10 : 2),
                                 .width = static_cast<uint16_t>(w),
                                 .height = static_cast<uint16_t>(h),
                                 .depth = static_cast<uint8_t>(l.depth),
                                 .descriptor = static_cast<uint8_t>((l.depth == 32 ? 8 : 0) |
                                                                    (l.right_to_left ? 0x10 : 0) |
                                                                    (l.top_down ? 0x20 : 0))});
  std::vector<const uint8_t*> order;
  for (uint32_t r = 0; r < h; ++r) {
    for (uint32_t c = 0; c < w; ++c) {
      const uint32_t y = l.top_down ? r : h - 1 - r, x = l.right_to_left ? w - 1 - c : c;
      order.push_back(&bgra[(size_t{y} * w + x) * 4]);
    }
  }
  auto same = [&](size_t i, size_t j) { return std::memcmp(order[i], order[j], bpp) == 0; };
  for (size_t i = 0; i < order.size();) {
    size_t n = 1;
    if (run_length) {
      while (i + n < order.size() && n < longest && same(i, i + n)) ++n;
      if (n > 1 || i + 1 == order.size()) {
        b.push_back(static_cast<uint8_t>(0x80 | (n - 1)));
        b.insert(b.end(), order[i], order[i] + bpp);
        i += n;
        continue;
      }
      while (i + n < order.size() && n < longest && !same(i + n - 1, i + n)) ++n;
      b.push_back(static_cast<uint8_t>(n - 1));
    }
    for (size_t k = 0; k < n; ++k) b.insert(b.end(), order[i + k], order[i + k] + bpp);
    i += n;
  }
  if (l.attributes != -2) testing::tga_append_footer(b, l.attributes);
  return b;
}

TEST(DecoderPaths, TargaSimdAndPlainPathsAgreeWithTheImageForEveryLayout) {
  const std::vector<std::pair<uint32_t, uint32_t>> sizes = {{1, 1}, {3, 2}, {5, 7}, {17, 3}, {67, 5}, {130, 9}};
  const std::vector<TgaLayout> layouts = {
      {},
      {.top_down = true},
      {.right_to_left = true},
      {.top_down = true, .right_to_left = true},
      {.depth = 24},
      {.right_to_left = true, .depth = 24},
      {.attributes = 4},
      {.right_to_left = true, .attributes = 0},
  };
  for (const auto& [w, h] : sizes) {
    const std::vector<uint8_t> bgra = image_bgra(w, h, w * 31 + h);
    for (const TgaLayout& l : layouts) {
      const TgaAlphaMode mode = alpha_of(l);
      const size_t bpp = static_cast<size_t>(l.depth / 8);
      for (int packing : {0, 3, 128}) {  // 0: raw; else the longest packet
        const Bytes file = stored_tga(bgra, w, h, l, packing != 0, static_cast<size_t>(packing));
        for (uint64_t step : {1u, 2u, 3u, 4u, 7u, 200u}) {
          SCOPED_TRACE(::testing::Message() << w << "x" << h << " top_down " << l.top_down << " rtl "
                                          << l.right_to_left << " depth " << l.depth << " attributes "
                                          << l.attributes << " packing " << packing << " step " << step);
          const std::optional<DecodedImage> wide = decode_tga(file, step, PixelPath::Wide);
          const std::optional<DecodedImage> plain = decode_tga(file, step, PixelPath::Plain);
          ASSERT_TRUE(wide && plain);
          ASSERT_EQ(wide->pixels, plain->pixels);
          const uint64_t ow = sampled_side(w, step), oh = sampled_side(h, step);
          ASSERT_EQ(wide->width, ow);
          ASSERT_EQ(wide->height, oh);
          std::vector<uint8_t> want(ow * oh * 4);
          for (uint64_t y = 0; y < oh; ++y) {
            for (uint64_t x = 0; x < ow; ++x) {
              const uint8_t* stored = &bgra[((y * step) * w + x * step) * 4];
              ASSERT_TRUE(convert_tga_pixel(stored, bpp, mode, &want[(y * ow + x) * 4]));
            }
          }
          ASSERT_EQ(wide->pixels, want);
        }
      }
    }
  }
}

TEST(DecoderPaths, TargaRunLengthRefusalsDoNotDependOnThePath) {
  const uint32_t w = 9, h = 4;
  const Bytes good = stored_tga(image_bgra(w, h, 3), w, h, {}, true, 5);
  for (size_t cut = 18; cut < good.size(); cut += 3) {
    const Bytes short_file(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
    for (uint64_t step : {1u, 2u}) {
      EXPECT_FALSE(decode_tga(short_file, step, PixelPath::Wide)) << cut;
      EXPECT_FALSE(decode_tga(short_file, step, PixelPath::Plain)) << cut;
    }
  }
  Bytes overrun = testing::tga_header({.image_type = 10, .width = 3, .height = 2});
  overrun.insert(overrun.end(), {0x84, 1, 2, 3, 4, 0x01, 1, 2, 3, 4, 5, 6, 7, 8});  // 5 + 2 of 6 pixels
  EXPECT_FALSE(decode_tga(overrun, 1, PixelPath::Wide));
  EXPECT_FALSE(decode_tga(overrun, 1, PixelPath::Plain));
}

// Planes R, G, B, A and a fifth, each sample big-endian at 16 bits.
std::vector<std::vector<uint8_t>> planes_of(const std::vector<uint8_t>& bgra, size_t pixels, size_t channels,
                                            int depth) {
  static constexpr int kFromBgra[] = {2, 1, 0, 3, 0};
  std::vector<std::vector<uint8_t>> planes(channels);
  for (size_t c = 0; c < channels; ++c) {
    for (size_t i = 0; i < pixels; ++i) {
      planes[c].push_back(bgra[i * 4 + kFromBgra[c]]);
      if (depth == 16) planes[c].push_back(static_cast<uint8_t>(i));
    }
  }
  return planes;
}

// PackBits rows: repeats of three and more, literals else.
Bytes packbits_row(const uint8_t* row, size_t n) {
  Bytes out;
  for (size_t x = 0; x < n;) {
    size_t run = 1;
    while (x + run < n && run < 128 && row[x + run] == row[x]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<uint8_t>(1 - static_cast<int>(run)));
      out.push_back(row[x]);
      x += run;
      continue;
    }
    const size_t lit = std::min<size_t>(n - x, 128 - (x % 5));  // literals of odd lengths too
    out.push_back(static_cast<uint8_t>(lit - 1));
    out.insert(out.end(), row + x, row + x + lit);
    x += lit;
  }
  return out;
}

Bytes photoshop(const std::vector<std::vector<uint8_t>>& planes, uint32_t w, uint32_t h, int depth, bool packbits) {
  // Signature, version 1, reserved; then as testing::psd_header writes it,
  // which GCC 12 at -O3 misreads here as an overflow (-Wstringop-overflow).
  Bytes b = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  testing::be16(b, static_cast<uint32_t>(planes.size()));
  testing::be32(b, h);
  testing::be32(b, w);
  testing::be16(b, static_cast<uint32_t>(depth));
  testing::be16(b, 3);  // RGB
  for (int section = 0; section < 3; ++section) testing::be32(b, 0);
  testing::be16(b, packbits ? 1 : 0);
  const size_t row = size_t{w} * static_cast<size_t>(depth / 8);
  std::vector<Bytes> rows;
  for (const auto& p : planes) {
    for (size_t y = 0; y < h; ++y) {
      const uint8_t* plain = &p[y * row];
      rows.push_back(packbits ? packbits_row(plain, row) : Bytes(plain, plain + row));
    }
  }
  if (packbits) {
    for (const Bytes& r : rows) testing::be16(b, static_cast<uint32_t>(r.size()));
  }
  for (const Bytes& r : rows) b.insert(b.end(), r.begin(), r.end());
  return b;
}

TEST(DecoderPaths, PhotoshopSimdAndPlainPathsAgreeWithTheImageForEveryLayout) {
  const std::vector<std::pair<uint32_t, uint32_t>> sizes = {{1, 1}, {5, 3}, {17, 4}, {33, 2}, {67, 5}, {130, 3}};
  for (const auto& [w, h] : sizes) {
    const std::vector<uint8_t> bgra = image_bgra(w, h, w + 7 * h);
    for (size_t channels : {3u, 4u, 5u}) {
      for (int depth : {8, 16}) {
        const auto planes = planes_of(bgra, size_t{w} * h, channels, depth);
        for (bool packbits : {false, true}) {
          const Bytes file = photoshop(planes, w, h, depth, packbits);
          for (uint64_t step : {1u, 2u, 3u, 16u, 200u}) {
            SCOPED_TRACE(::testing::Message() << w << "x" << h << " channels " << channels << " depth " << depth
                                            << " packbits " << packbits << " step " << step);
            const std::optional<DecodedImage> wide = decode_psd_sampled(file, step, PixelPath::Wide);
            const std::optional<DecodedImage> plain = decode_psd_sampled(file, step, PixelPath::Plain);
            ASSERT_TRUE(wide && plain);
            ASSERT_EQ(wide->pixels, plain->pixels);
            const uint64_t ow = sampled_side(w, step), oh = sampled_side(h, step);
            std::vector<uint8_t> want;
            for (uint64_t y = 0; y < oh; ++y) {
              for (uint64_t x = 0; x < ow; ++x) {
                const uint8_t* p = &bgra[((y * step) * w + x * step) * 4];
                const uint8_t a = channels >= 4 ? p[3] : 255;
                want.insert(want.end(), {premultiply(p[2], a), premultiply(p[1], a), premultiply(p[0], a), a});
              }
            }
            ASSERT_EQ(wide->pixels, want);
          }
          if (channels == 3) {
            const std::optional<DecodedImage> full_wide = decode_psd(file, PixelPath::Wide);
            const std::optional<DecodedImage> full_plain = decode_psd(file, PixelPath::Plain);
            ASSERT_TRUE(full_wide && full_plain);
            ASSERT_EQ(full_wide->bytes_per_pixel, 3);
            ASSERT_EQ(full_wide->pixels, full_plain->pixels);
          }
        }
      }
    }
  }
}

TEST(DecoderPaths, InterleaveAtStrideTwoReadsOnlyTheRowsItIsGiven) {
  // Rows that end on the last sample's first byte, as a 16-bit row sampled
  // at step 1 may be given: the wide rounds must not read the byte after.
  for (uint64_t out_w : {16u, 17u, 40u}) {
    std::vector<std::vector<uint8_t>> rows(4);
    for (size_t c = 0; c < 4; ++c) {
      for (uint64_t i = 0; i < 2 * out_w - 1; ++i) rows[c].push_back(static_cast<uint8_t>(i * (c + 3)));
    }
    const std::span<const uint8_t> spans[4] = {rows[0], rows[1], rows[2], rows[3]};
    std::vector<uint8_t> out(out_w * 4);
    ASSERT_TRUE(interleave_planes_row(out.data(), out_w, spans, 2, 4));
    for (uint64_t x = 0; x < out_w; ++x) {
      const uint8_t a = rows[3][2 * x];
      const std::vector<uint8_t> want = {premultiply(rows[0][2 * x], a), premultiply(rows[1][2 * x], a),
                                         premultiply(rows[2][2 * x], a), a};
      ASSERT_EQ(std::vector<uint8_t>(out.begin() + x * 4, out.begin() + x * 4 + 4), want) << out_w << " " << x;
    }
  }
}

}  // namespace
}  // namespace vel
