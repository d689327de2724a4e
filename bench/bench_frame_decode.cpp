// Decoding 1920×1080 worker frames (Targa raw and run-length, Photoshop raw
// and PackBits) into premultiplied RGBA8, against stb_image decoding the same
// file (X_baseline) and a memcpy of the decoded bytes (X_memcpy_baseline).
#include <benchmark/benchmark.h>

#include <stb/stb_image.h>

#include <cstring>
#include <vector>

#include "pool/decode/psd_decoder.h"
#include "pool/decode/tga_decoder.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// Straight RGBA like a rendered frame: transparent ground, flat solids, a
// soft-edged band and a noisy patch that packs badly.
std::vector<uint8_t> frame_pixels() {
  std::vector<uint8_t> px(static_cast<size_t>(kW) * kH * 4, 0);
  uint32_t noise = 12345;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * kW + x) * 4];
      if (x > 200 && x < 1400 && y > 100 && y < 700) p[0] = 220, p[1] = 40, p[2] = 60, p[3] = 255;
      if (y > 800 && y < 900) p[0] = 30, p[1] = 200, p[2] = 90, p[3] = static_cast<uint8_t>(x * 255 / kW);
      if (x > 1500 && y > 300 && y < 600) {
        noise = noise * 1103515245 + 12345;
        p[0] = static_cast<uint8_t>(noise >> 16), p[1] = static_cast<uint8_t>(noise >> 8), p[2] = 128, p[3] = 200;
      }
    }
  }
  return px;
}

void le16(std::vector<uint8_t>& b, int v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void be16(std::vector<uint8_t>& b, int v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
void be32(std::vector<uint8_t>& b, uint32_t v) { be16(b, int(v >> 16)), be16(b, int(v & 0xFFFF)); }

// Bottom-up BGRA; run-length packets cover runs of equal pixels within a row.
std::vector<uint8_t> targa(const std::vector<uint8_t>& px, bool rle) {
  std::vector<uint8_t> b = {0, 0, uint8_t(rle ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0};
  le16(b, kW), le16(b, kH), b.push_back(32), b.push_back(8);
  for (int y = kH - 1; y >= 0; --y) {
    const uint8_t* row = &px[static_cast<size_t>(y) * kW * 4];
    auto bgra = [&](int x) { return std::array<uint8_t, 4>{row[x * 4 + 2], row[x * 4 + 1], row[x * 4], row[x * 4 + 3]}; };
    for (int x = 0; x < kW;) {
      int n = 1;
      if (rle) {
        while (x + n < kW && n < 128 && std::memcmp(row + x * 4, row + (x + n) * 4, 4) == 0) ++n;
        b.push_back(uint8_t(0x80 | (n - 1)));
      }
      const auto p = bgra(x);
      b.insert(b.end(), p.begin(), p.end());
      x += n;
    }
  }
  return b;
}

// Four planes, raw or PackBits (runs of 3 and more repeated, literals else).
std::vector<uint8_t> photoshop(const std::vector<uint8_t>& px, bool packbits) {
  std::vector<uint8_t> b = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
  be16(b, 4), be32(b, kH), be32(b, kW), be16(b, 8), be16(b, 3), be32(b, 0), be32(b, 0), be32(b, 0);
  be16(b, packbits ? 1 : 0);
  std::vector<std::vector<uint8_t>> rows;
  for (int c = 0; c < 4; ++c) {
    for (int y = 0; y < kH; ++y) {
      std::vector<uint8_t> plane(kW), packed;
      for (int x = 0; x < kW; ++x) plane[x] = px[(static_cast<size_t>(y) * kW + x) * 4 + c];
      if (!packbits) {
        rows.push_back(plane);
        continue;
      }
      for (int x = 0; x < kW;) {
        int run = 1;
        while (x + run < kW && run < 128 && plane[x + run] == plane[x]) ++run;
        if (run >= 3) {
          packed.push_back(uint8_t(1 - run)), packed.push_back(plane[x]), x += run;
          continue;
        }
        int lit = 0;
        while (x + lit < kW && lit < 128 &&
               !(x + lit + 2 < kW && plane[x + lit] == plane[x + lit + 1] && plane[x + lit] == plane[x + lit + 2])) {
          ++lit;
        }
        packed.push_back(uint8_t(lit - 1));
        packed.insert(packed.end(), plane.begin() + x, plane.begin() + x + lit);
        x += lit;
      }
      rows.push_back(packed);
    }
  }
  if (packbits) {
    for (const auto& r : rows) be16(b, int(r.size()));
  }
  for (const auto& r : rows) b.insert(b.end(), r.begin(), r.end());
  return b;
}

const std::vector<uint8_t>& pixels() {
  static const std::vector<uint8_t> px = frame_pixels();
  return px;
}

enum class Kind { TgaRaw, TgaRle, PsdRaw, PsdPackBits };

const std::vector<uint8_t>& file_of(Kind k) {
  static const std::vector<uint8_t> files[] = {targa(pixels(), false), targa(pixels(), true),
                                               photoshop(pixels(), false), photoshop(pixels(), true)};
  return files[static_cast<int>(k)];
}

void ours(benchmark::State& state, Kind k) {
  const std::vector<uint8_t>& file = file_of(k);
  const bool tga = k == Kind::TgaRaw || k == Kind::TgaRle;
  for (auto _ : state) {
    std::optional<vel::DecodedImage> image = tga ? vel::decode_tga(file, 1) : vel::decode_psd_sampled(file, 1);
    if (!image) {
      state.SkipWithError("refused");
      return;
    }
    benchmark::DoNotOptimize(image->pixels.data());
    vel::return_pooled_buffer(std::move(image->pixels));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH * 4);
}

void stb(benchmark::State& state, Kind k) {
  const std::vector<uint8_t>& file = file_of(k);
  for (auto _ : state) {
    int w = 0, h = 0, n = 0;
    stbi_uc* px = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &n, 4);
    if (px == nullptr) {
      state.SkipWithError("stb refused");
      return;
    }
    benchmark::DoNotOptimize(px);
    stbi_image_free(px);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH * 4);
}

void copy(benchmark::State& state, Kind) {
  std::vector<uint8_t> dst(pixels().size());
  for (auto _ : state) {
    std::memcpy(dst.data(), pixels().data(), dst.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kW * kH * 4);
}

BENCHMARK_CAPTURE(ours, decode_tga_raw, Kind::TgaRaw);
BENCHMARK_CAPTURE(stb, decode_tga_raw_baseline, Kind::TgaRaw);
BENCHMARK_CAPTURE(copy, decode_tga_raw_memcpy_baseline, Kind::TgaRaw);
BENCHMARK_CAPTURE(ours, decode_tga_rle, Kind::TgaRle);
BENCHMARK_CAPTURE(stb, decode_tga_rle_baseline, Kind::TgaRle);
BENCHMARK_CAPTURE(copy, decode_tga_rle_memcpy_baseline, Kind::TgaRle);
BENCHMARK_CAPTURE(ours, decode_psd_raw, Kind::PsdRaw);
BENCHMARK_CAPTURE(stb, decode_psd_raw_baseline, Kind::PsdRaw);
BENCHMARK_CAPTURE(copy, decode_psd_raw_memcpy_baseline, Kind::PsdRaw);
BENCHMARK_CAPTURE(ours, decode_psd_packbits, Kind::PsdPackBits);
BENCHMARK_CAPTURE(stb, decode_psd_packbits_baseline, Kind::PsdPackBits);
BENCHMARK_CAPTURE(copy, decode_psd_packbits_memcpy_baseline, Kind::PsdPackBits);

}  // namespace

BENCHMARK_MAIN();
