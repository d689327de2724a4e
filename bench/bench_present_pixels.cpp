// Pixel preparation for display, each kernel against a memcpy of the bytes it
// reads (its baseline). The buffers are made once: in steady state the
// kernels allocate nothing, which the loops would show as a slowdown.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "panel/present/pixel_prep.h"

namespace {

// Premultiplied pixels: alpha 255 everywhere, or varied (translucent).
std::vector<uint8_t> frame(uint32_t w, uint32_t h, bool opaque) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  std::mt19937 rng(5);
  for (size_t i = 0; i < px.size(); i += 4) {
    const uint32_t a = opaque ? 255 : rng() % 256;
    for (int c = 0; c < 3; ++c) px[i + c] = static_cast<uint8_t>(rng() % (a + 1));
    px[i + 3] = static_cast<uint8_t>(a);
  }
  return px;
}

void memcpy_of(benchmark::State& state, uint32_t w, uint32_t h) {
  const std::vector<uint8_t> src = frame(w, h, true);
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}

void BM_halve_3840x2160(benchmark::State& state) {
  const std::vector<uint8_t> src = frame(3840, 2160, false);
  std::vector<uint8_t> out;
  for (auto _ : state) {
    auto size = vel::halve_image(src.data(), src.size(), 3840, 2160, out);
    benchmark::DoNotOptimize(size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
void BM_halve_3840x2160_baseline(benchmark::State& state) { memcpy_of(state, 3840, 2160); }

void flatten(benchmark::State& state, bool opaque) {
  const std::vector<uint8_t> src = frame(1920, 1080, opaque);
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    bool ok = vel::flatten_on_checkerboard(src.data(), src.size(), 1920, 1080, 12, false, dst.data(), dst.size());
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
void BM_flatten_1920x1080_opaque(benchmark::State& state) { flatten(state, true); }
void BM_flatten_1920x1080_translucent(benchmark::State& state) { flatten(state, false); }
void BM_flatten_1920x1080_baseline(benchmark::State& state) { memcpy_of(state, 1920, 1080); }

// The whole preparation of a 1920 × 1080 frame for a 900 × 500 view: one
// halving, then the flattening of the 960 × 540 result.
void BM_prepare_for_900x500(benchmark::State& state) {
  const std::vector<uint8_t> src = frame(1920, 1080, false);
  vel::PresentScratch scratch;
  std::vector<uint8_t> out;
  for (auto _ : state) {
    auto img = vel::prepare_present_pixels(src.data(), src.size(), 1920, 1080, 900, 500, scratch, 100);
    const size_t n = static_cast<size_t>(img->width) * img->height * 4;
    bool ok = vel::reserve_present_buffer(out, n) &&
              vel::flatten_on_checkerboard(img->pixels, img->length, img->width, img->height,
                                           vel::checker_cell(img->width, 900), false, out.data(), out.size());
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(src.size()));
}
void BM_prepare_for_900x500_baseline(benchmark::State& state) { memcpy_of(state, 1920, 1080); }

BENCHMARK(BM_halve_3840x2160);
BENCHMARK(BM_halve_3840x2160_baseline);
BENCHMARK(BM_flatten_1920x1080_opaque);
BENCHMARK(BM_flatten_1920x1080_translucent);
BENCHMARK(BM_flatten_1920x1080_baseline);
BENCHMARK(BM_prepare_for_900x500);
BENCHMARK(BM_prepare_for_900x500_baseline);

}  // namespace

BENCHMARK_MAIN();
