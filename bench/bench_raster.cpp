// The raster renderer's drawing cost. One opaque full-frame solid at 1920x1080
// against a memset of the same frame (the least any fill costs), and 8 or 32
// blended, rotated, half-transparent layers against as many memsets; the
// figures to quote are the ratios and the nanoseconds per pixel per layer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "raster/blend_table.h"
#include "raster/prepared_scene.h"

namespace {

constexpr uint32_t kW = 1920, kH = 1080;
constexpr size_t kBytes = size_t{kW} * kH * 4;

vel::LayerModel layer(uint32_t index, const char* blend, double rotation, double opacity) {
  vel::LayerModel l;
  l.index = index;
  l.name = "L";
  l.kind = vel::LayerKind::Av;
  l.source = vel::SolidSource{{0.2f + 0.02f * static_cast<float>(index % 30), 0.5f, 0.7f}, kW, kH};
  l.in_point = 0;
  l.out_point = 100;
  l.enabled = true;
  l.blend_mode = blend;
  l.transform.anchor = vel::AnimatedVec2::constant({kW / 2.0, kH / 2.0});
  l.transform.position = vel::AnimatedVec2::constant({kW / 2.0, kH / 2.0});
  // Scaled up enough that the rotated solid still covers the whole frame.
  l.transform.scale = vel::AnimatedVec2::constant({rotation == 0 ? 100.0 : 200.0, rotation == 0 ? 100.0 : 200.0});
  l.transform.rotation = vel::AnimatedScalar::constant(rotation);
  l.transform.opacity = vel::AnimatedScalar::constant(opacity);
  return l;
}

vel::FrameState state_of(std::vector<vel::LayerModel> layers) {
  vel::CompModel comp;
  comp.width = kW;
  comp.height = kH;
  comp.layers = std::move(layers);
  auto scene = vel::prepare_raster_scene(comp);
  if (!scene) std::abort();
  return vel::evaluate_prepared_frame(std::make_shared<const vel::PreparedScene>(std::move(scene).value()), 0);
}

void set_per_pixel_layer(benchmark::State& state, int64_t layers) {
  state.counters["ns_per_pixel_layer"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kW * kH * static_cast<double>(layers),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Drawing into a frame that exists, as the memset below writes one.
void OpaqueSolid(benchmark::State& state) {
  const vel::FrameState fs = state_of({layer(1, "normal", 0, 100)});
  const vel::PreparedLayer& l = fs.scene->layers[0];
  std::vector<uint8_t> frame(kBytes);
  for (auto _ : state) {
    vel::rasterize_solid_layer(frame, kW, kH, 1, l.paint, fs.layers[0].transform, true);
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
  set_per_pixel_layer(state, 1);
}
BENCHMARK(OpaqueSolid)->Unit(benchmark::kMillisecond);

void OpaqueSolid_baseline(benchmark::State& state) {
  std::vector<uint8_t> frame(kBytes);
  for (auto _ : state) {
    std::memset(frame.data(), 0x7f, frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes));
  set_per_pixel_layer(state, 1);
}
BENCHMARK(OpaqueSolid_baseline)->Unit(benchmark::kMillisecond);

// The whole prepared frame: its zeroed allocation and every layer.
void BlendedLayers(benchmark::State& state) {
  static const char* const kModes[] = {"normal", "multiply", "screen", "overlay",
                                       "darken", "lighten",  "difference", "add"};
  const int64_t n = state.range(0);
  std::vector<vel::LayerModel> layers;
  for (int64_t i = 0; i < n; ++i) {
    layers.push_back(layer(static_cast<uint32_t>(i + 1), kModes[i % 8], 7.0 + 11.0 * static_cast<double>(i), 60));
  }
  const vel::FrameState fs = state_of(std::move(layers));
  for (auto _ : state) {
    auto frame = vel::render_prepared_frame(fs, 1, true);
    benchmark::DoNotOptimize(frame.value().pixels.data());
  }
  set_per_pixel_layer(state, n);
}
BENCHMARK(BlendedLayers)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

void BlendedLayers_baseline(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::vector<uint8_t> frame(kBytes);
  for (auto _ : state) {
    for (int64_t i = 0; i < n; ++i) std::memset(frame.data(), static_cast<int>(i), frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  set_per_pixel_layer(state, n);
}
BENCHMARK(BlendedLayers_baseline)->Arg(8)->Arg(32)->Unit(benchmark::kMillisecond);

// The same layers over a backdrop that differs from pixel to pixel (as
// under footage or a gradient, never under solids alone), so that no run of
// equal pixels spares any arithmetic; the frame is first copied from the
// noise, and the baseline copies it too. The layers are drawn as one stack.
std::vector<uint8_t> noisy_frame() {
  std::vector<uint8_t> px(kBytes);
  uint32_t x = 12345;
  for (size_t p = 0; p < px.size(); p += 4) {
    x = x * 1664525u + 1013904223u;
    const uint32_t a = (x >> 24) | 1;
    for (int ch = 0; ch < 3; ++ch) px[p + ch] = static_cast<uint8_t>(((x >> (8 * ch)) & 0xFF) * a / 255);
    px[p + 3] = static_cast<uint8_t>(a);
  }
  return px;
}

void NoisyBackdrop(benchmark::State& state) {
  static const char* const kModes[] = {"normal", "multiply", "screen", "overlay",
                                       "darken", "lighten",  "difference", "add"};
  const int64_t n = state.range(0);
  std::vector<vel::LayerModel> layers;
  for (int64_t i = 0; i < n; ++i) {
    layers.push_back(layer(static_cast<uint32_t>(i + 1), kModes[i % 8], 7.0 + 11.0 * static_cast<double>(i), 60));
  }
  const vel::FrameState fs = state_of(std::move(layers));
  std::vector<vel::SolidLayerDraw> draws;
  for (size_t i = 0; i < fs.layers.size(); ++i) draws.push_back({&fs.scene->layers[i].paint, fs.layers[i].transform});
  // Kept across iterations as a prepared scene keeps it across the frames of
  // a fill: the first iteration makes the stack's table, the others find it.
  vel::BlendTableCache tables;
  const std::vector<uint8_t> noise = noisy_frame();
  std::vector<uint8_t> frame(kBytes);
  for (auto _ : state) {
    std::memcpy(frame.data(), noise.data(), kBytes);
    vel::rasterize_solid_layers(frame, kW, kH, 1, draws, true, &tables);
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  set_per_pixel_layer(state, n);
}
BENCHMARK(NoisyBackdrop)->Arg(8)->Unit(benchmark::kMillisecond);

void NoisyBackdrop_baseline(benchmark::State& state) {
  const int64_t n = state.range(0);
  const std::vector<uint8_t> noise = noisy_frame();
  std::vector<uint8_t> frame(kBytes);
  for (auto _ : state) {
    std::memcpy(frame.data(), noise.data(), kBytes);
    for (int64_t i = 0; i < n; ++i) std::memset(frame.data(), static_cast<int>(i), frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  set_per_pixel_layer(state, n);
}
BENCHMARK(NoisyBackdrop_baseline)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
