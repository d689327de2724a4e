// Packing and unpacking a 1920×1080 frame against the bare LZ4 calls they
// wrap: the header, the exact-size result, the pooled buffer and the payload
// must stay within 10 % of the library's own time.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdint>
#include <vector>

#include "cache/buffer_pool.h"
#include "cache/pack_worker.h"
#include "cache/unpack_frame.h"

namespace {

constexpr uint32_t kW = 1920;
constexpr uint32_t kH = 1080;

// Smooth gradients with a few noisy patches: what a rendered frame with
// grain or texture looks like to LZ4.
const std::vector<uint8_t>& frame_bytes() {
  static const std::vector<uint8_t> px = [] {
    std::vector<uint8_t> v(static_cast<size_t>(kW) * kH * 4);
    uint32_t rng = 12345;
    for (uint32_t y = 0; y < kH; ++y) {
      for (uint32_t x = 0; x < kW; ++x) {
        uint8_t* p = &v[(static_cast<size_t>(y) * kW + x) * 4];
        p[0] = static_cast<uint8_t>(x * 255 / kW);
        p[1] = static_cast<uint8_t>(y * 255 / kH);
        p[2] = static_cast<uint8_t>((x + y) / 12);
        p[3] = 255;
        const bool patch = (x / 240 + y / 180) % 3 == 0 && (x % 240) < 120 && (y % 180) < 90;
        if (patch) {
          rng ^= rng << 13;
          rng ^= rng >> 17;
          rng ^= rng << 5;
          p[0] = static_cast<uint8_t>(p[0] ^ (rng & 0x1f));
          p[1] = static_cast<uint8_t>(p[1] ^ ((rng >> 8) & 0x1f));
          p[2] = static_cast<uint8_t>(p[2] ^ ((rng >> 16) & 0x1f));
        }
      }
    }
    return v;
  }();
  return px;
}

const std::vector<uint8_t>& packed_bytes() {
  static const std::vector<uint8_t> packed = vel::pack_frame(frame_bytes());
  return packed;
}

void pack_frame(benchmark::State& state) {
  const std::vector<uint8_t>& px = frame_bytes();
  for (auto _ : state) {
    std::vector<uint8_t> packed = vel::pack_frame(px);
    benchmark::DoNotOptimize(packed.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(px.size()));
}

void pack_frame_baseline(benchmark::State& state) {
  const std::vector<uint8_t>& px = frame_bytes();
  std::vector<char> dst(static_cast<size_t>(LZ4_compressBound(static_cast<int>(px.size()))));
  for (auto _ : state) {
    int n = LZ4_compress_default(reinterpret_cast<const char*>(px.data()), dst.data(), static_cast<int>(px.size()),
                                 static_cast<int>(dst.size()));
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(px.size()));
}

void unpack_frame(benchmark::State& state) {
  const std::vector<uint8_t>& packed = packed_bytes();
  for (auto _ : state) {
    std::optional<vel::RgbaFrame> f = vel::unpack_packed_frame(kW, kH, packed, 0.0);
    benchmark::DoNotOptimize(f->pixels.data());
    // As the cache does when the frame leaves it: the buffer goes back to the pool.
    if (std::optional<std::vector<uint8_t>> bytes = f->pixels.try_take_bytes()) vel::return_pooled_buffer(std::move(*bytes));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t{kW} * kH * 4);
}

void unpack_frame_baseline(benchmark::State& state) {
  const std::vector<uint8_t>& packed = packed_bytes();
  std::vector<char> dst(static_cast<size_t>(kW) * kH * 4);
  for (auto _ : state) {
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data() + 4), dst.data(),
                                static_cast<int>(packed.size() - 4), static_cast<int>(dst.size()));
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * int64_t{kW} * kH * 4);
}

}  // namespace

BENCHMARK(pack_frame)->Unit(benchmark::kMillisecond);
BENCHMARK(pack_frame_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(unpack_frame)->Unit(benchmark::kMillisecond);
BENCHMARK(unpack_frame_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
