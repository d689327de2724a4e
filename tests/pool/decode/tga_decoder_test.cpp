#include "pool/decode/tga_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "pool/decode/image_bytes.h"

namespace vel {
namespace {

using testing::Bytes;
using testing::TgaSpec;

std::vector<uint8_t> pixels_of(const std::optional<DecodedImage>& image) {
  return image ? image->pixels : std::vector<uint8_t>{};
}

Bytes one_pixel_tga(int attributes) {
  Bytes b = testing::tga_header(TgaSpec{});
  b.insert(b.end(), {200, 100, 50, 128});  // B, G, R, A
  if (attributes != -2) testing::tga_append_footer(b, attributes);
  return b;
}

TEST(TgaDecoder, AlphaModeFromHeaderAndExtensionArea) {
  struct Case {
    const char* name;
    int attributes;  // -2: no footer, -1: footer without extension area
    std::vector<uint8_t> rgba;
  };
  for (const Case& c : std::vector<Case>{{"no footer: straight", -2, {25, 50, 100, 128}},
                                         {"footer only: straight", -1, {25, 50, 100, 128}},
                                         {"attributes 3: straight", 3, {25, 50, 100, 128}},
                                         {"attributes 4: premultiplied", 4, {50, 100, 200, 128}},
                                         {"attributes 0: ignored", 0, {50, 100, 200, 255}},
                                         {"attributes 1: ignored", 1, {50, 100, 200, 255}}}) {
    EXPECT_EQ(pixels_of(decode_tga(one_pixel_tga(c.attributes), 1)), c.rgba) << c.name;
  }
}

TEST(TgaDecoder, RefusesEveryHeaderOutsideWhatWorkersWrite) {
  struct Case {
    const char* name;
    TgaSpec spec;
  };
  const std::vector<Case> cases = {
      {"colour-mapped", {.image_type = 1}},
      {"greyscale", {.image_type = 3}},
      {"run-length colour-mapped", {.image_type = 9}},
      {"colour map present", {.map_type = 1}},
      {"colour map fields set", {.map_spec_byte = 1}},
      {"16-bit", {.depth = 16, .descriptor = 0}},
      {"descriptor bit 6", {.descriptor = 8 | 0x40}},
      {"descriptor bit 7", {.descriptor = 8 | 0x80}},
      {"24-bit with alpha bits", {.depth = 24, .descriptor = 8}},
      {"32-bit with 4 alpha bits", {.descriptor = 4}},
      {"zero width", {.width = 0}},
      {"width 30001", {.width = 30001}},
      {"8193 x 8193", {.width = 8193, .height = 8193}},
  };
  for (const Case& c : cases) {
    Bytes b = testing::tga_header(c.spec);
    b.resize(b.size() + 4 * 8193 * 8193 / 1024, 0);  // data is not what refuses these
    EXPECT_FALSE(parse_tga_header(b)) << c.name;
    EXPECT_FALSE(decode_tga(b, 1)) << c.name;
  }
}

TEST(TgaDecoder, RefusesBadFootersAndShortData) {
  EXPECT_FALSE(decode_tga(Bytes(17, 0), 1)) << "shorter than a header";
  Bytes id_past_end = testing::tga_header({});
  id_past_end[0] = 200;
  EXPECT_FALSE(decode_tga(id_past_end, 1)) << "id field passes the end";

  Bytes short_raw = one_pixel_tga(-2);
  short_raw.pop_back();
  EXPECT_FALSE(decode_tga(short_raw, 1)) << "raw data one byte short";

  for (int attributes : {2, 5, 255}) {
    EXPECT_FALSE(decode_tga(one_pixel_tga(attributes), 1)) << "attributes " << attributes;
  }
  Bytes no_alpha_bits = testing::tga_header({.descriptor = 0});
  no_alpha_bits.insert(no_alpha_bits.end(), {1, 2, 3, 4});
  Bytes premul_without_alpha = no_alpha_bits, straight_without_alpha = no_alpha_bits;
  testing::tga_append_footer(premul_without_alpha, 4);
  testing::tga_append_footer(straight_without_alpha, 3);
  EXPECT_FALSE(decode_tga(premul_without_alpha, 1)) << "premultiplied without alpha bits";
  EXPECT_FALSE(decode_tga(straight_without_alpha, 1)) << "straight without alpha bits";

  Bytes bad_size = one_pixel_tga(3);
  bad_size[22] = 0;  // extension size field
  EXPECT_FALSE(decode_tga(bad_size, 1)) << "extension area size not 495";

  Bytes ext_in_header = one_pixel_tga(-1);
  ext_in_header[ext_in_header.size() - 26] = 4;  // extension offset inside the header
  EXPECT_FALSE(decode_tga(ext_in_header, 1)) << "extension before the image data";

  Bytes dev_past_footer = one_pixel_tga(-1);
  dev_past_footer[dev_past_footer.size() - 22] = 200;
  EXPECT_FALSE(decode_tga(dev_past_footer, 1)) << "developer directory past the footer";

  Bytes ext_overlaps_footer = one_pixel_tga(-1);
  ext_overlaps_footer[ext_overlaps_footer.size() - 26] = 18;  // 495 bytes do not fit before the footer
  EXPECT_FALSE(decode_tga(ext_overlaps_footer, 1)) << "extension area runs into the footer";
}

TEST(TgaDecoder, AnImageIdRunningIntoTheFooterIsRefused) {
  // Found by fuzzing: the footer's start before the image data made the data
  // length wrap around, and rows were read past the end of the file.
  Bytes b = testing::tga_header({.id_length = 40, .width = 2, .height = 1});
  b.resize(b.size() - 10);  // the footer now begins inside the image id
  testing::tga_append_footer(b, -1);
  EXPECT_FALSE(parse_tga_header(b));
  EXPECT_FALSE(decode_tga(b, 1));
}

TEST(TgaDecoder, HugeDeclaredImageRefusedBeforeAllocation) {
  Bytes b = testing::tga_header({.width = 30000, .height = 2000});
  b.insert(b.end(), {1, 2, 3, 4});
  EXPECT_TRUE(parse_tga_header(b));
  EXPECT_FALSE(decode_tga(b, 1));  // raw data checked against the file, no 240 MB read
}

// Stored bytes of an image given in image coordinates (top-left first), in
// the order the descriptor's bits ask for, raw or as run-length packets.
Bytes stored_tga(const std::vector<uint8_t>& bgra, uint16_t w, uint16_t h, bool top_down, bool right_to_left,
                 bool run_length) {
  Bytes b = testing::tga_header({.image_type = static_cast<uint8_t>(run_length ? 10 : 2), .width = w, .height = h,
                                 .descriptor = static_cast<uint8_t>(8 | (right_to_left ? 0x10 : 0) |
                                                                    (top_down ? 0x20 : 0))});
  std::vector<const uint8_t*> order;
  for (uint16_t r = 0; r < h; ++r) {
    for (uint16_t c = 0; c < w; ++c) {
      const int y = top_down ? r : h - 1 - r, x = right_to_left ? w - 1 - c : c;
      order.push_back(&bgra[(static_cast<size_t>(y) * w + x) * 4]);
    }
  }
  for (size_t i = 0; i < order.size();) {
    if (!run_length) {
      b.insert(b.end(), order[i], order[i] + 4);
      ++i;
      continue;
    }
    // Alternate a one-pixel repeat packet and a literal of up to 3, across rows.
    if (i % 2 == 0) {
      b.push_back(0x80);
      b.insert(b.end(), order[i], order[i] + 4);
      ++i;
    } else {
      const size_t n = std::min<size_t>(3, order.size() - i);
      b.push_back(static_cast<uint8_t>(n - 1));
      for (size_t k = 0; k < n; ++k) b.insert(b.end(), order[i + k], order[i + k] + 4);
      i += n;
    }
  }
  return b;
}

TEST(TgaDecoder, EveryOrderAndStepGivesTheTopLeftSampleOfEachBlock) {
  const uint16_t w = 7, h = 5;
  std::mt19937 rng(7);
  std::vector<uint8_t> bgra(w * h * 4);
  for (auto& v : bgra) v = static_cast<uint8_t>(rng());
  for (bool run_length : {false, true}) {
    for (bool top_down : {false, true}) {
      for (bool rtl : {false, true}) {
        const Bytes file = stored_tga(bgra, w, h, top_down, rtl, run_length);
        for (uint64_t step : {1u, 2u, 3u, 9u}) {
          const std::optional<DecodedImage> image = decode_tga(file, step);
          ASSERT_TRUE(image) << run_length << top_down << rtl << step;
          const uint64_t ow = sampled_side(w, step), oh = sampled_side(h, step);
          ASSERT_EQ(image->width, ow);
          ASSERT_EQ(image->height, oh);
          for (uint64_t y = 0; y < oh; ++y) {
            for (uint64_t x = 0; x < ow; ++x) {
              const uint8_t* s = &bgra[((y * step) * w + x * step) * 4];
              const uint8_t* d = &image->pixels[(y * ow + x) * 4];
              EXPECT_EQ(d[0], premultiply(s[2], s[3]));
              EXPECT_EQ(d[2], premultiply(s[0], s[3]));
              EXPECT_EQ(d[3], s[3]);
            }
          }
        }
      }
    }
  }
}

TEST(TgaDecoder, StepZeroAndRunLengthBoundaries) {
  const Bytes one = one_pixel_tga(-2);
  EXPECT_FALSE(decode_tga(one, 0));

  Bytes rle = testing::tga_header({.image_type = 10, .width = 2, .height = 1});
  Bytes exact = rle;
  exact.insert(exact.end(), {0x81, 1, 2, 3, 255});
  EXPECT_TRUE(decode_tga(exact, 1));
  Bytes trailing = exact;
  trailing.insert(trailing.end(), {0x85, 9, 9});
  EXPECT_TRUE(decode_tga(trailing, 1)) << "bytes after a complete image are ignored";
  Bytes overrun = rle;
  overrun.insert(overrun.end(), {0x82, 1, 2, 3, 255});
  EXPECT_FALSE(decode_tga(overrun, 1)) << "last packet passes width x height";
  Bytes one_short = rle;
  one_short.insert(one_short.end(), {0x80, 1, 2, 3, 255});
  EXPECT_FALSE(decode_tga(one_short, 1)) << "data end one pixel short";
  Bytes cut_literal = rle;
  cut_literal.insert(cut_literal.end(), {0x01, 1, 2, 3, 255, 4});
  EXPECT_FALSE(decode_tga(cut_literal, 1)) << "literal passes the image data";
}

TEST(TgaDecoder, WideRowsGiveExactlyTheScalarResultsInEveryMode) {
  const uint16_t w = 67;  // blocks of four and a tail
  std::mt19937 rng(5);
  Bytes pixels;
  for (int i = 0; i < w; ++i) {
    for (int c = 0; c < 4; ++c) pixels.push_back(static_cast<uint8_t>(rng()));
  }
  for (int i = 0; i < 4; ++i) pixels[i * 4 + 3] = 255;                 // an opaque block
  std::fill(pixels.begin() + 16, pixels.begin() + 32, uint8_t{0});  // a transparent block
  for (int attributes : {-2, 0, 4}) {
    Bytes file = testing::tga_header({.width = w, .descriptor = 8 | 0x20});
    file.insert(file.end(), pixels.begin(), pixels.end());
    if (attributes >= 0) testing::tga_append_footer(file, attributes);
    const TgaAlphaMode mode = attributes == -2 ? TgaAlphaMode::Straight
                              : attributes == 0 ? TgaAlphaMode::Ignore
                                                : TgaAlphaMode::Premultiplied;
    const std::optional<DecodedImage> image = decode_tga(file, 1);
    ASSERT_TRUE(image);
    for (int x = 0; x < w; ++x) {
      uint8_t want[4];
      ASSERT_TRUE(convert_tga_pixel(&pixels[x * 4], 4, mode, want));
      ASSERT_EQ(0, std::memcmp(want, &image->pixels[x * 4], 4)) << "mode " << int(mode) << " pixel " << x;
    }
  }
}

TEST(TgaDecoder, PixelConversionRules) {
  const uint8_t stored[4] = {200, 100, 50, 128};
  uint8_t out[4];
  EXPECT_FALSE(convert_tga_pixel(stored, 2, TgaAlphaMode::Ignore, out));
  EXPECT_FALSE(convert_tga_pixel(stored, 3, TgaAlphaMode::Straight, out));
  ASSERT_TRUE(convert_tga_pixel(stored, 3, TgaAlphaMode::Ignore, out));
  EXPECT_EQ((std::vector<uint8_t>(out, out + 4)), (std::vector<uint8_t>{50, 100, 200, 255}));
  // Premultiplication is round(c × a / 255) for every pair.
  for (int c = 0; c < 256; ++c) {
    for (int a = 0; a < 256; ++a) {
      const uint8_t px[4] = {static_cast<uint8_t>(c), 0, 0, static_cast<uint8_t>(a)};
      ASSERT_TRUE(convert_tga_pixel(px, 4, TgaAlphaMode::Straight, out));
      ASSERT_EQ(out[2], (c * a + 127) / 255) << c << " " << a;
    }
  }
}

}  // namespace
}  // namespace vel
