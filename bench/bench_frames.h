// What the shared-memory benchmarks have in common: a 1920 × 1080 frame's
// sizes, reproducible noise bytes, and the output request of a long range at
// that size.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "memout/output_consumer.h"

namespace vel::bench {

inline constexpr uint32_t kWidth = 1920;
inline constexpr uint32_t kHeight = 1080;
inline constexpr uint64_t kFrameBytes = uint64_t{kWidth} * kHeight * 4;

// One memcpy of a whole 1080p frame per iteration, from a source nobody
// rewrites into the same destination: the baseline of the producer's
// conversion, which reads and writes the same two buffers every frame.
inline void memcpy_frame_each_iteration(benchmark::State& state, const std::vector<uint8_t>& src) {
  std::vector<uint8_t> dst(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kFrameBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

inline std::vector<uint8_t> noise_bytes(uint64_t n) {
  std::vector<uint8_t> v(n);
  uint32_t x = 12345;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return v;
}

// Frames 0 … 999,999 at 1920 × 1080, one time unit each.
inline OutputRequest full_hd_request(uint32_t key_scale) {
  OutputRequest req;
  req.range_start = 0;
  req.range_end = 999'999;
  req.step = 1;
  req.key_scale = key_scale;
  req.width = kWidth;
  req.height = kHeight;
  return req;
}

}  // namespace vel::bench
