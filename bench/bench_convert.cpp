// Conversion of host worlds to premultiplied RGBA8, against a memcpy of the
// same source bytes (the least any conversion must cost).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "preview/pixel_convert.h"

namespace {

using vel::AlphaKind;
using vel::HostPixels;
using vel::SourceDepth;

struct Fixture {
  std::vector<uint8_t> src;
  std::vector<uint8_t> dst;
  HostPixels view;
};

// A world with padded rows (to 64 bytes, as hosts do) and varied content.
Fixture make(uint32_t w, uint32_t h, SourceDepth depth) {
  Fixture f;
  const size_t px = vel::source_pixel_bytes(depth);
  const size_t row = (w * px + 63) / 64 * 64;
  f.src.resize(row * h);
  std::mt19937 rng(11);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = f.src.data() + y * row + x * px;
      const uint32_t a = (x * 7 + y) % 256;
      for (int c = 0; c < 4; ++c) {
        const uint32_t v = c == 0 ? a : std::min<uint32_t>(a, rng() % 256);
        if (depth == SourceDepth::Bpc8) {
          p[c] = static_cast<uint8_t>(v);
        } else if (depth == SourceDepth::Bpc32) {
          const float f = static_cast<float>(v) / 255.0f;
          std::memcpy(p + 4 * c, &f, 4);
        } else {
          const uint16_t v16 = static_cast<uint16_t>(v * vel::kMax16 / 255);
          std::memcpy(p + 2 * c, &v16, 2);
        }
      }
    }
  }
  f.dst.resize(static_cast<size_t>(w) * h * 4);
  f.view = HostPixels{f.src.data(), w, h, static_cast<int64_t>(row), depth, AlphaKind::Premultiplied};
  return f;
}

void run_convert(benchmark::State& state, uint32_t w, uint32_t h, SourceDepth depth) {
  Fixture f = make(w, h, depth);
  for (auto _ : state) {
    auto st = vel::convert_to_rgba(f.view, f.dst.data(), f.dst.size());
    benchmark::DoNotOptimize(st);
    benchmark::DoNotOptimize(f.dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.src.size()));
}

void run_baseline(benchmark::State& state, uint32_t w, uint32_t h, SourceDepth depth) {
  Fixture f = make(w, h, depth);
  std::vector<uint8_t> out(f.src.size());
  for (auto _ : state) {
    std::memcpy(out.data(), f.src.data(), f.src.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.src.size()));
}

void convert_8bpc_1920x1080(benchmark::State& s) { run_convert(s, 1920, 1080, SourceDepth::Bpc8); }
void convert_8bpc_1920x1080_baseline(benchmark::State& s) { run_baseline(s, 1920, 1080, SourceDepth::Bpc8); }
void convert_8bpc_3840x2160(benchmark::State& s) { run_convert(s, 3840, 2160, SourceDepth::Bpc8); }
void convert_8bpc_3840x2160_baseline(benchmark::State& s) { run_baseline(s, 3840, 2160, SourceDepth::Bpc8); }
void convert_16bpc_1920x1080(benchmark::State& s) { run_convert(s, 1920, 1080, SourceDepth::Bpc16); }
void convert_16bpc_1920x1080_baseline(benchmark::State& s) { run_baseline(s, 1920, 1080, SourceDepth::Bpc16); }
void convert_32bpc_1920x1080(benchmark::State& s) { run_convert(s, 1920, 1080, SourceDepth::Bpc32); }
void convert_32bpc_1920x1080_baseline(benchmark::State& s) { run_baseline(s, 1920, 1080, SourceDepth::Bpc32); }

BENCHMARK(convert_8bpc_1920x1080)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_8bpc_1920x1080_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_8bpc_3840x2160)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_8bpc_3840x2160_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_16bpc_1920x1080)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_16bpc_1920x1080_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_32bpc_1920x1080)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(convert_32bpc_1920x1080_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
