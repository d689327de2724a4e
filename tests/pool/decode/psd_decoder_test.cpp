#include "pool/decode/psd_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "pool/decode/image_bytes.h"
#include "psd_writer.h"

namespace vel {
namespace {

using testing::Bytes;
using testing::PsdSpec;

// Planes given sample by sample (big-endian when 16-bit), raw.
Bytes raw_psd(const PsdSpec& spec, const std::vector<std::vector<uint8_t>>& planes) {
  Bytes b = testing::psd_header(spec);
  for (const auto& p : planes) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// PackBits rows, one literal packet a row.
Bytes packed_psd(PsdSpec spec, const std::vector<std::vector<uint8_t>>& planes) {
  spec.compression = 1;
  Bytes b = testing::psd_header(spec);
  const size_t row = spec.width * (spec.depth / 8);
  for (size_t c = 0; c < planes.size(); ++c) {
    for (size_t y = 0; y < spec.height; ++y) testing::be16(b, static_cast<uint32_t>(row + 1));
  }
  for (const auto& p : planes) {
    for (size_t y = 0; y < spec.height; ++y) {
      b.push_back(static_cast<uint8_t>(row - 1));
      b.insert(b.end(), p.begin() + y * row, p.begin() + (y + 1) * row);
    }
  }
  return b;
}

TEST(PsdDecoder, RefusesEveryHeaderOutsideWhatWorkersWrite) {
  struct Case {
    const char* name;
    PsdSpec spec;
  };
  const std::vector<Case> cases = {
      {"large-document version 2", {.version = 2}},
      {"colour mode not RGB", {.mode = 1}},
      {"depth 32", {.depth = 32}},
      {"depth 1", {.depth = 1}},
      {"two channels", {.channels = 2}},
      {"57 channels", {.channels = 57}},
      {"width 30001", {.width = 30001}},
      {"height 0", {.height = 0}},
      {"8193 x 8193", {.width = 8193, .height = 8193}},
  };
  for (const Case& c : cases) {
    Bytes b = raw_psd(c.spec, {Bytes(64, 0)});
    EXPECT_FALSE(parse_psd_header(b)) << c.name;
    EXPECT_FALSE(decode_psd(b)) << c.name;
    EXPECT_FALSE(decode_psd_sampled(b, 1)) << c.name;
  }
  Bytes compression2 = raw_psd({.compression = 2}, {{1}, {2}, {3}});
  EXPECT_TRUE(parse_psd_header(compression2));
  EXPECT_FALSE(decode_psd(compression2));
  EXPECT_FALSE(decode_psd_sampled(compression2, 1));

  Bytes signature = raw_psd({}, {{1}, {2}, {3}});
  signature[0] = '9';
  EXPECT_FALSE(decode_psd(signature));
  EXPECT_FALSE(decode_psd(Bytes(signature.begin(), signature.begin() + 29)));
}

TEST(PsdDecoder, RefusesLengthsThatPassTheEnd) {
  const Bytes good = raw_psd({}, {{1}, {2}, {3}});
  ASSERT_TRUE(decode_psd(good));
  Bytes short_plane = good;
  short_plane.pop_back();
  EXPECT_FALSE(decode_psd(short_plane)) << "raw planes one byte short";
  EXPECT_FALSE(decode_psd_sampled(short_plane, 1));

  for (size_t at : {26u, 30u, 34u}) {
    Bytes section = good;
    section[at + 3] = 200;  // a skipped section longer than the file
    EXPECT_FALSE(parse_psd_header(section)) << "section length at " << at;
  }
  Bytes no_compression(good.begin(), good.begin() + 39);
  EXPECT_FALSE(parse_psd_header(no_compression)) << "compression word cut";

  const Bytes packed = packed_psd({}, {{1}, {2}, {3}});
  ASSERT_TRUE(decode_psd(packed));
  Bytes cut_row(packed.begin(), packed.end() - 1);
  EXPECT_FALSE(decode_psd(cut_row)) << "last packed row passes the end";
  EXPECT_FALSE(decode_psd_sampled(cut_row, 1));
  Bytes cut_table(packed.begin(), packed.begin() + 42);
  EXPECT_FALSE(decode_psd(cut_table)) << "byte-count table passes the end";
}

TEST(PsdDecoder, SixteenBitSamplesKeepTheirHighByte) {
  const Bytes file = raw_psd({.depth = 16}, {{0x12, 0xAB}, {0x34, 0xFF}, {0x56, 0x00}});
  const std::optional<DecodedImage> full = decode_psd(file);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->bytes_per_pixel, 3);
  EXPECT_EQ(full->pixels, (std::vector<uint8_t>{0x12, 0x34, 0x56}));
  const std::optional<DecodedImage> sampled = decode_psd_sampled(file, 1);
  ASSERT_TRUE(sampled);
  EXPECT_EQ(sampled->pixels, (std::vector<uint8_t>{0x12, 0x34, 0x56, 255}));
  std::vector<uint8_t> out(3);
  EXPECT_TRUE(plane_to_8bit(std::vector<uint8_t>{0x12, 0xAB, 0x01, 0x02, 0xFF, 0x00}, 2, out.data()));
  EXPECT_EQ(out, (std::vector<uint8_t>{0x12, 0x01, 0xFF}));
  EXPECT_FALSE(plane_to_8bit(std::vector<uint8_t>{1, 2, 3}, 2, out.data()));
  EXPECT_FALSE(plane_to_8bit(std::vector<uint8_t>{1, 2, 3}, 3, out.data()));
}

TEST(PsdDecoder, FourthChannelIsStraightAlphaAndComesOutPremultiplied) {
  const Bytes file = raw_psd({.channels = 4}, {{200}, {100}, {50}, {128}});
  for (const std::optional<DecodedImage>& image : {decode_psd(file), decode_psd_sampled(file, 1)}) {
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixels, (std::vector<uint8_t>{100, 50, 25, 128}));
  }
}

TEST(PsdDecoder, WideRowsGiveExactlyTheScalarResults) {
  const uint32_t w = 67;  // blocks of sixteen and a tail
  std::mt19937 rng(3);
  std::vector<std::vector<uint8_t>> planes(4, std::vector<uint8_t>(w));
  for (auto& p : planes) {
    for (auto& v : p) v = static_cast<uint8_t>(rng());
  }
  std::fill(planes[3].begin(), planes[3].begin() + 16, uint8_t{255});  // an opaque block
  for (auto& p : planes) std::fill(p.begin() + 16, p.begin() + 32, uint8_t{0});  // a transparent one
  for (uint16_t channels : {3, 4}) {
    const std::vector<std::vector<uint8_t>> used(planes.begin(), planes.begin() + channels);
    const std::optional<DecodedImage> image = decode_psd_sampled(raw_psd({.channels = channels, .width = w}, used), 1);
    ASSERT_TRUE(image);
    for (uint32_t x = 0; x < w; ++x) {
      const uint8_t a = channels == 4 ? planes[3][x] : 255;
      const uint8_t want[4] = {premultiply(planes[0][x], a), premultiply(planes[1][x], a),
                               premultiply(planes[2][x], a), a};
      ASSERT_EQ(0, std::memcmp(want, &image->pixels[x * 4], 4)) << channels << " channels, pixel " << x;
    }
  }
}

TEST(PsdDecoder, FifthChannelIsUnusedButMustBeWellFormed) {
  const std::vector<std::vector<uint8_t>> planes = {{200, 10}, {100, 20}, {50, 30}, {255, 255}, {7, 7}};
  const PsdSpec spec{.channels = 5, .width = 2};
  const std::optional<DecodedImage> raw = decode_psd(raw_psd(spec, planes));
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->pixels, (std::vector<uint8_t>{200, 100, 50, 255, 10, 20, 30, 255}));
  Bytes packed = packed_psd(spec, planes);
  ASSERT_TRUE(decode_psd_sampled(packed, 1));
  packed[packed.size() - 3] = 5;  // fifth channel's literal now asks for six bytes
  EXPECT_FALSE(decode_psd(packed));
  EXPECT_FALSE(decode_psd_sampled(packed, 1));
  EXPECT_FALSE(decode_psd_sampled(packed, 2)) << "rows nobody samples are still checked";
}

TEST(PsdDecoder, SampledReaderAgreesWithTheFullReaderForEveryLayout) {
  std::mt19937 rng(11);
  sim::FrameImage image{9, 7, {}};
  for (int i = 0; i < 9 * 7; ++i) {
    const uint8_t a = static_cast<uint8_t>(rng() % 3 == 0 ? 255 : rng());
    for (int c = 0; c < 3; ++c) image.rgba.push_back(static_cast<uint8_t>(rng() % (a + 1)));
    image.rgba.push_back(a);
  }
  for (bool packbits : {false, true}) {
    for (int depth : {8, 16}) {
      const std::vector<uint8_t> file = sim::encode_psd(image, {.packbits = packbits, .depth = depth});
      const std::optional<DecodedImage> full = decode_psd(file);
      ASSERT_TRUE(full) << packbits << depth;
      ASSERT_EQ(full->bytes_per_pixel, 4);
      for (uint64_t step : {1u, 2u, 4u, 20u}) {
        const std::optional<DecodedImage> sampled = decode_psd_sampled(file, step);
        ASSERT_TRUE(sampled);
        const uint64_t ow = sampled_side(9, step), oh = sampled_side(7, step);
        ASSERT_EQ(sampled->width, ow);
        ASSERT_EQ(sampled->height, oh);
        for (uint64_t y = 0; y < oh; ++y) {
          for (uint64_t x = 0; x < ow; ++x) {
            for (int c = 0; c < 4; ++c) {
              ASSERT_EQ(sampled->pixels[(y * ow + x) * 4 + c], full->pixels[((y * step) * 9 + x * step) * 4 + c]);
            }
          }
        }
      }
      EXPECT_FALSE(decode_psd_sampled(file, 0));
    }
  }
}

TEST(PsdDecoder, InterleaveChecksThatEveryPlaneRowIsLongEnough) {
  const std::vector<uint8_t> r{1, 2, 3}, g{4, 5, 6}, b{7, 8};
  const std::span<const uint8_t> rows[3] = {r, g, b};
  std::vector<uint8_t> out(8);
  EXPECT_TRUE(interleave_planes_row(out.data(), 2, rows, 1, 3));
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 4, 7, 255, 2, 5, 8, 255}));
  EXPECT_FALSE(interleave_planes_row(out.data(), 3, rows, 1, 3));
  EXPECT_FALSE(interleave_planes_row(out.data(), 2, rows, 2, 3));
  EXPECT_FALSE(interleave_planes_row(out.data(), 1, rows, 1, 2));
}

}  // namespace
}  // namespace vel
