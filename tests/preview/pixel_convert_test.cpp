#include "preview/pixel_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace vel {
namespace {

// Reference: every channel taken to 0..1 in double precision, premultiplied
// there, and rounded once to the nearest byte (halves up).
uint8_t ref_byte(double unit) { return static_cast<uint8_t>(std::floor(unit * 255.0 + 0.5)); }
double unit_clamp(double v) { return std::isnan(v) ? 0.0 : std::min(1.0, std::max(0.0, v)); }

struct UnitPixel {
  double a, r, g, b;
};

std::array<uint8_t, 4> ref_pixel(UnitPixel p, AlphaKind kind) {
  const double a = unit_clamp(p.a);
  auto c = [&](double v) {
    v = unit_clamp(v);
    return ref_byte(kind == AlphaKind::Premultiplied ? std::min(v, a) : v * a);
  };
  return {c(p.r), c(p.g), c(p.b), ref_byte(a)};
}

// Builds a host world (ARGB, `pad` spare bytes per row filled with junk).
struct PixelWorld {
  std::vector<uint8_t> bytes;
  HostPixels view;
};

PixelWorld make_world(const std::vector<UnitPixel>& px, uint32_t width, SourceDepth depth, AlphaKind kind, size_t pad,
                 size_t offset = 0) {
  const uint32_t height = static_cast<uint32_t>(px.size() / width);
  const size_t row = width * source_pixel_bytes(depth) + pad;
  PixelWorld w;
  w.bytes.assign(offset + row * height, 0xAB);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const UnitPixel& p = px[y * width + x];
      const double ch[4] = {p.a, p.r, p.g, p.b};
      uint8_t* out = w.bytes.data() + offset + y * row + x * source_pixel_bytes(depth);
      for (int i = 0; i < 4; ++i) {
        if (depth == SourceDepth::Bpc8) {
          out[i] = static_cast<uint8_t>(std::lround(unit_clamp(ch[i]) * 255.0));
        } else if (depth == SourceDepth::Bpc16) {
          const double scaled = std::isnan(ch[i]) ? 0.0 : std::max(0.0, std::min(65535.0, ch[i] * kMax16));
          const uint16_t v = static_cast<uint16_t>(std::lround(scaled));
          std::memcpy(out + 2 * i, &v, 2);
        } else {
          const float v = static_cast<float>(ch[i]);
          std::memcpy(out + 4 * i, &v, 4);
        }
      }
    }
  }
  w.view = HostPixels{w.bytes.data() + offset, width, height, static_cast<int64_t>(row), depth, kind};
  return w;
}

// The unit value the world actually holds after quantisation to its depth.
double stored_unit(double v, SourceDepth depth) {
  if (depth == SourceDepth::Bpc8) return std::lround(unit_clamp(v) * 255.0) / 255.0;
  if (depth == SourceDepth::Bpc16) {
    const double scaled = std::isnan(v) ? 0.0 : std::max(0.0, std::min(65535.0, v * kMax16));
    return std::lround(scaled) / double(kMax16);
  }
  return static_cast<double>(static_cast<float>(v));
}

std::vector<uint8_t> convert(const HostPixels& v) {
  std::vector<uint8_t> out(static_cast<size_t>(v.width) * v.height * 4, 0x5A);
  auto st = convert_to_rgba(v, out.data(), out.size());
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error());
  return out;
}

TEST(PixelConvert, EveryEightBitPairMatchesReference) {
  for (AlphaKind kind : {AlphaKind::Straight, AlphaKind::Premultiplied}) {
    std::vector<UnitPixel> px;
    for (int a = 0; a < 256; ++a)
      for (int c = 0; c < 256; ++c) px.push_back({a / 255.0, c / 255.0, (255 - c) / 255.0, (c * 7 % 256) / 255.0});
    PixelWorld w = make_world(px, 256, SourceDepth::Bpc8, kind, 0);
    auto out = convert(w.view);
    for (size_t i = 0; i < px.size(); ++i) {
      auto want = ref_pixel(px[i], kind);
      ASSERT_EQ(0, std::memcmp(want.data(), &out[i * 4], 4)) << "pixel " << i << " kind " << int(kind);
    }
  }
}

struct DeepCase {
  const char* name;
  SourceDepth depth;
  AlphaKind kind;
  UnitPixel px;
};

TEST(PixelConvert, DeepValuesMatchReferenceIncludingClampsAndHalves) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const DeepCase cases[] = {
      {"16 half rounds up", SourceDepth::Bpc16, AlphaKind::Premultiplied, {1.0, 0.5, 0.25, 0.0}},
      {"16 straight mid", SourceDepth::Bpc16, AlphaKind::Straight, {0.5, 0.5, 1.0, 0.0}},
      {"16 above max clamps", SourceDepth::Bpc16, AlphaKind::Straight, {1.9, 1.5, 0.2, 1.0}},
      {"16 premul colour above alpha", SourceDepth::Bpc16, AlphaKind::Premultiplied, {0.25, 0.9, 0.1, 0.25}},
      {"16 transparent", SourceDepth::Bpc16, AlphaKind::Straight, {0.0, 1.0, 1.0, 1.0}},
      {"32 straight", SourceDepth::Bpc32, AlphaKind::Straight, {0.6, 0.3, 0.9, 0.123}},
      {"32 premul", SourceDepth::Bpc32, AlphaKind::Premultiplied, {0.6, 0.3, 0.59, 0.123}},
      {"32 overbright", SourceDepth::Bpc32, AlphaKind::Straight, {1.0, 3.0, -0.5, 1.0000001}},
      {"32 NaN and inf", SourceDepth::Bpc32, AlphaKind::Straight, {1.0, nan, inf, -inf}},
      {"32 NaN alpha", SourceDepth::Bpc32, AlphaKind::Premultiplied, {nan, 0.5, 0.5, 0.5}},
      {"32 premul colour above alpha", SourceDepth::Bpc32, AlphaKind::Premultiplied, {0.5, 0.75, 0.5, 0.1}},
  };
  // Each case alone (the one-pixel path) and in a row of 8 with its
  // neighbours (the four-pixel path).
  for (size_t width : {size_t{1}, size_t{8}}) {
    for (size_t k = 0; k < std::size(cases); ++k) {
      const DeepCase& c = cases[k];
      std::vector<UnitPixel> row(width, c.px);
      for (size_t i = 0; i < width; ++i) {
        const DeepCase& other = cases[(k + i) % std::size(cases)];
        if (other.depth == c.depth) row[i] = other.px;
      }
      PixelWorld w = make_world(row, static_cast<uint32_t>(width), c.depth, c.kind, 0);
      auto out = convert(w.view);
      for (size_t i = 0; i < width; ++i) {
        const UnitPixel& p = row[i];
        UnitPixel stored{stored_unit(p.a, c.depth), stored_unit(p.r, c.depth), stored_unit(p.g, c.depth),
                         stored_unit(p.b, c.depth)};
        auto want = ref_pixel(stored, c.kind);
        for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(want[ch], out[i * 4 + ch]) << c.name << " pixel " << i << " channel " << ch;
      }
    }
  }
}

TEST(PixelConvert, SixteenBitSweepMatchesReference) {
  // Every 16-bit value up to past the maximum against a spread of alphas.
  for (AlphaKind kind : {AlphaKind::Straight, AlphaKind::Premultiplied}) {
    for (uint32_t a16 : {0u, 1u, 128u, 16384u, 16385u, 32767u, 32768u, 40000u, 65535u}) {
      std::vector<uint8_t> bytes;
      std::vector<std::array<uint32_t, 4>> px;
      for (uint32_t v = 0; v <= 33000; v += 7) px.push_back({a16, v, 32768 - std::min(v, 32768u), v / 3});
      while (px.size() % 4 != 3) px.push_back({a16, 65535, 0, 1});  // leave a tail after the groups of four
      for (const auto& p : px) {
        for (uint32_t ch : p) {
          const uint16_t v = static_cast<uint16_t>(ch);
          bytes.insert(bytes.end(), reinterpret_cast<const uint8_t*>(&v), reinterpret_cast<const uint8_t*>(&v) + 2);
        }
      }
      const HostPixels view{bytes.data(), static_cast<uint32_t>(px.size()), 1, static_cast<int64_t>(bytes.size()),
                            SourceDepth::Bpc16, kind};
      auto out = convert(view);
      for (size_t i = 0; i < px.size(); ++i) {
        auto unit = [](uint32_t v) { return std::min(v, kMax16) / double(kMax16); };
        auto want = ref_pixel({unit(px[i][0]), unit(px[i][1]), unit(px[i][2]), unit(px[i][3])}, kind);
        ASSERT_EQ(0, std::memcmp(want.data(), &out[i * 4], 4))
            << "alpha " << a16 << " pixel " << i << " kind " << int(kind);
      }
    }
  }
}

TEST(PixelConvert, DeepDepthsStayWithinOneOfTheEightBitRender) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<UnitPixel> px(64 * 64);
  for (auto& p : px) p = {u(rng), u(rng), u(rng), u(rng)};
  for (AlphaKind kind : {AlphaKind::Straight, AlphaKind::Premultiplied}) {
    if (kind == AlphaKind::Premultiplied)
      for (auto& p : px) p = {p.a, p.r * p.a, p.g * p.a, p.b * p.a};
    auto base = convert(make_world(px, 64, SourceDepth::Bpc8, kind, 0).view);
    for (SourceDepth d : {SourceDepth::Bpc16, SourceDepth::Bpc32}) {
      auto deep = convert(make_world(px, 64, d, kind, 0).view);
      int worst = 0;
      for (size_t i = 0; i < base.size(); ++i) worst = std::max(worst, std::abs(int(base[i]) - int(deep[i])));
      EXPECT_LE(worst, 1) << "depth " << int(d) << " kind " << int(kind);
    }
  }
}

TEST(PixelConvert, RowPaddingAndUnalignedRowsAreHonoured) {
  std::vector<UnitPixel> px;
  for (int i = 0; i < 5 * 3; ++i) px.push_back({1.0, i / 20.0, 0.5, 1.0 - i / 20.0});
  for (SourceDepth d : {SourceDepth::Bpc8, SourceDepth::Bpc16, SourceDepth::Bpc32}) {
    auto tight = convert(make_world(px, 5, d, AlphaKind::Straight, 0).view);
    for (size_t pad : {1u, 3u, 64u}) {
      // An odd offset and odd padding put deep channels off their alignment.
      auto padded = convert(make_world(px, 5, d, AlphaKind::Straight, pad, 1).view);
      EXPECT_EQ(tight, padded) << "depth " << int(d) << " pad " << pad;
    }
  }
}

TEST(PixelConvert, ChannelOrderIsAlphaFirstInRgbaOut) {
  PixelWorld w = make_world({{1.0, 10 / 255.0, 20 / 255.0, 30 / 255.0}}, 1, SourceDepth::Bpc8, AlphaKind::Straight, 0);
  auto out = convert(w.view);
  EXPECT_EQ((std::vector<uint8_t>{10, 20, 30, 255}), out);
}

TEST(PixelConvert, LargeFramesConvertedInBandsEqualOneThreadRows) {
  const uint32_t width = 1024, height = 1100;
  ASSERT_GT(convert_band_count(width, height, SourceDepth::Bpc16, 8), 1u);
  std::vector<UnitPixel> px(size_t(width) * height);
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (auto& p : px) p = {u(rng), u(rng), u(rng), u(rng)};
  PixelWorld w = make_world(px, width, SourceDepth::Bpc16, AlphaKind::Straight, 12);
  auto banded = convert(w.view);
  std::vector<uint8_t> serial(banded.size());
  convert_rows(w.view, 0, height, serial.data());
  EXPECT_EQ(serial, banded);
}

TEST(PixelConvert, BandCount) {
  const auto d8 = SourceDepth::Bpc8, d16 = SourceDepth::Bpc16, d32 = SourceDepth::Bpc32;
  struct Case {
    uint32_t w, h;
    SourceDepth d;
    uint32_t threads, want;
  } cases[] = {
      {1920, 1080, d8, 8, 1},      // under 2 Mi pixels: not worth a thread
      {3840, 2160, d8, 8, 3},      // 8.3 M pixels, 2 Mi per band
      {7680, 4320, d8, 8, 8},      // capped by the hardware threads and 8
      {7680, 4320, d8, 4, 4},
      {1920, 1080, d16, 8, 7},     // deep worlds: 256 Ki pixels per band
      {1920, 1080, d32, 16, 7},
      {1920, 1080, d32, 0, 1},     // unknown thread count
      {1 << 22, 100, d32, 8, 1},   // at most one band per 64 rows
      {1 << 16, 130, d16, 8, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, convert_band_count(c.w, c.h, c.d, c.threads)) << c.w << "x" << c.h << " depth " << int(c.d);
  }
}

TEST(PixelConvert, BadViewsAreRefusedBeforeAnyRead) {
  uint8_t byte = 0;
  struct Case {
    const char* name;
    HostPixels view;
  } cases[] = {
      {"null base", {nullptr, 2, 2, 8, SourceDepth::Bpc8, AlphaKind::Straight}},
      {"zero width", {&byte, 0, 2, 8, SourceDepth::Bpc8, AlphaKind::Straight}},
      {"zero height", {&byte, 2, 0, 8, SourceDepth::Bpc8, AlphaKind::Straight}},
      {"short rows", {&byte, 2, 2, 7, SourceDepth::Bpc8, AlphaKind::Straight}},
      {"short deep rows", {&byte, 2, 2, 31, SourceDepth::Bpc32, AlphaKind::Straight}},
      {"negative rows", {&byte, 2, 2, -8, SourceDepth::Bpc8, AlphaKind::Straight}},
      {"unknown depth", {&byte, 2, 2, 8, static_cast<SourceDepth>(12), AlphaKind::Straight}},
      {"huge", {&byte, 0xFFFFFFFFu, 0xFFFFFFFFu, INT64_MAX / 2, SourceDepth::Bpc32, AlphaKind::Straight}},
  };
  for (const auto& c : cases) EXPECT_FALSE(checked_rgba_length(c.view).ok()) << c.name;

  PixelWorld w = make_world({{1, 1, 1, 1}, {1, 1, 1, 1}}, 2, SourceDepth::Bpc8, AlphaKind::Straight, 0);
  std::vector<uint8_t> out(7);
  EXPECT_FALSE(convert_to_rgba(w.view, out.data(), out.size()).ok());
}

}  // namespace
}  // namespace vel
