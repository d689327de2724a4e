// The Metal draw paths' own work on the CPU, each beside a memcpy of the
// bytes it moves (its baseline). The stand-in device completes command
// buffers without executing them, so only the plug-in's side is timed,
// except in the device figures: there the stand-in device executes what the
// panel's GPU path submits (the preview shader's draw into a 1920 x 1080
// drawable; a playback frame's upload, mipmaps and draw), beside a memcpy of
// that drawable. Their "fps" counter is the rate the device sustains.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstring>
#include <vector>

#include "panel/present/metal/metal_draw.h"
#include "platform/metal_testing.h"

namespace {

using namespace platform;

vel::RgbaFrame frame(uint32_t w, uint32_t h) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 31);
  for (size_t i = 3; i < px.size(); i += 4) px[i] = static_cast<uint8_t>(i % 7 == 0 ? 128 : 255);
  return vel::RgbaFrame{vel::PixelPayload::adopt(std::move(px)), 0.0, w, h};
}

// Processor time of the whole process (every raster thread and the device
// thread too), in milliseconds.
double process_cpu_ms() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return ms(u.ru_utime) + ms(u.ru_stime);
}

// The device's processor time per frame, beside the rate: the raster
// threads' work counts however many of them share it.
void count_frames(benchmark::State& state, double cpu_ms_before) {
  const double frames = static_cast<double>(state.iterations());
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["cpu_ms_per_frame"] = frames > 0 ? (process_cpu_ms() - cpu_ms_before) / frames : 0.0;
}

struct Rig {
  std::shared_ptr<CAMetalLayer> layer = CAMetalLayer::layer();
  std::optional<vel::MetalGpuState> gpu;
  std::optional<vel::MetalBlitState> blit;
  vel::PresentScratch scratch;
  std::vector<uint8_t> output;
  vel::MetalDrawContext context;

  explicit Rig(bool with_gpu, MetalCompletion completion = MetalCompletion::without_executing) {
    set_metal_completion(completion);
    layer->setDevice(MTLCreateSystemDefaultDevice());
    layer->setFramebufferOnly(false);
    if (with_gpu) {
      gpu.emplace();
      gpu->device = layer->device();
      gpu->queue = gpu->device->newCommandQueue();
      gpu->pipeline = vel::obtain_metal_pipeline(gpu->device);
    }
    blit.emplace();
    blit->device = layer->device();
    blit->queue = blit->device->newCommandQueue();
  }
  ~Rig() { reset_metal_faults(); }
  // Ends the slots the way the worker's poll does.
  void poll() {
    for (auto* slots : {gpu ? &gpu->slots : nullptr, blit ? &blit->slots : nullptr}) {
      if (slots == nullptr) continue;
      for (vel::MetalSlot& s : *slots) s.record.reset();
    }
  }
  bool draw(const vel::RgbaFrame& f, uint64_t vw, uint64_t vh) {
    const bool ok = vel::draw_metal_frame(*layer, f, vw, vh, scratch, output, gpu, blit, context);
    poll();
    (void)vel::drain_present_telemetry();
    return ok;
  }
};

void memcpy_bytes(benchmark::State& state, size_t n) {
  std::vector<uint8_t> src(n, 7), dst(n);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

void BM_metal_draw_upload_1080p(benchmark::State& state) {
  Rig rig(true);
  std::optional<vel::RgbaFrame> f;
  for (auto _ : state) {
    // A new frame each time, so always an upload; making and freeing frames
    // is the producer's cost, kept out of the timing.
    state.PauseTiming();
    rig.gpu->clear_cache();
    f.reset();
    f = frame(1920, 1080);
    state.ResumeTiming();
    if (!rig.draw(*f, 960, 540)) state.SkipWithError("draw refused");
  }
}
// The memcpy of the frame's bytes, with the frame made as above: a new
// frame each time, written just before, so the copy starts from the same
// cache state as the draw's own copy into its staging buffer.
void BM_metal_draw_upload_1080p_baseline(benchmark::State& state) {
  std::vector<uint8_t> dst(size_t{1920} * 1080 * 4);
  vel::RgbaFrame f = frame(1, 1);
  for (auto _ : state) {
    state.PauseTiming();
    f = frame(1, 1);
    f = frame(1920, 1080);
    state.ResumeTiming();
    std::memcpy(dst.data(), f.pixels.data(), dst.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

void BM_metal_draw_cached_1080p(benchmark::State& state) {
  Rig rig(true);
  const vel::RgbaFrame f = frame(1920, 1080);
  rig.draw(f, 960, 540);
  for (auto _ : state) {
    if (!rig.draw(f, 960, 540)) state.SkipWithError("draw refused");
  }
}
void BM_metal_draw_cached_1080p_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }

void BM_metal_blit_prepare_2160p(benchmark::State& state) {
  Rig rig(false);
  const vel::RgbaFrame f = frame(3840, 2160);
  for (auto _ : state) {
    if (!rig.draw(f, 960, 540)) state.SkipWithError("draw refused");
  }
}
void BM_metal_blit_prepare_2160p_baseline(benchmark::State& state) { memcpy_bytes(state, 3840 * 2160 * 4); }

// A cached frame of w x h drawn into the 1920 x 1080 drawable and executed
// at commit: the shader over every pixel, then the present's copy.
void shader_draw(benchmark::State& state, uint32_t w, uint32_t h) {
  Rig rig(true, MetalCompletion::at_commit);
  const vel::RgbaFrame f = frame(w, h);
  rig.draw(f, 1920, 1080);
  const double cpu_ms = process_cpu_ms();
  for (auto _ : state) {
    if (!rig.draw(f, 1920, 1080)) state.SkipWithError("draw refused");
  }
  count_frames(state, cpu_ms);
}
// Same size: level 0 only.
void BM_metal_shader_1080p(benchmark::State& state) { shader_draw(state, 1920, 1080); }
void BM_metal_shader_1080p_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }
// 2560 x 1440 down to 1080p: two levels blended.
void BM_metal_shader_1440p_down(benchmark::State& state) { shader_draw(state, 2560, 1440); }
void BM_metal_shader_1440p_down_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }
// 960 x 540 magnified: five samples per pixel for the sharpening.
void BM_metal_shader_540p_sharpened(benchmark::State& state) { shader_draw(state, 960, 540); }
void BM_metal_shader_540p_sharpened_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }

// What the device does for one frame of playback, committed to its own
// thread as simhost has it and waited for: a new frame's upload, its
// mipmaps, the shader and the present. Beside a memcpy of the frame.
void playback_frame(benchmark::State& state, uint64_t vw, uint64_t vh) {
  Rig rig(true, MetalCompletion::device_thread);
  std::optional<vel::RgbaFrame> f;
  double making_ms = 0.0;  // the producer's share, kept out as the timing keeps it out
  const double cpu_ms = process_cpu_ms();
  for (auto _ : state) {
    state.PauseTiming();
    const double made = process_cpu_ms();
    rig.gpu->clear_cache();
    f.reset();
    f = frame(1920, 1080);
    making_ms += process_cpu_ms() - made;
    state.ResumeTiming();
    if (!rig.draw(*f, vw, vh)) state.SkipWithError("draw refused");
    wait_metal_device_idle();
  }
  count_frames(state, cpu_ms + making_ms);
}
// The panel's 960 x 540 view on a 1x screen.
void BM_metal_device_playback_540p_view(benchmark::State& state) { playback_frame(state, 960, 540); }
void BM_metal_device_playback_540p_view_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }
void BM_metal_device_playback_1080p_view(benchmark::State& state) { playback_frame(state, 1920, 1080); }
void BM_metal_device_playback_1080p_view_baseline(benchmark::State& state) { memcpy_bytes(state, 1920 * 1080 * 4); }

BENCHMARK(BM_metal_device_playback_540p_view)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_metal_device_playback_540p_view_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_metal_device_playback_1080p_view)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_metal_device_playback_1080p_view_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_metal_shader_1080p)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_metal_shader_1080p_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_metal_shader_1440p_down)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_metal_shader_1440p_down_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_metal_shader_540p_sharpened)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_metal_shader_540p_sharpened_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_metal_draw_upload_1080p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_metal_draw_upload_1080p_baseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_metal_draw_cached_1080p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_metal_draw_cached_1080p_baseline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_metal_blit_prepare_2160p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_metal_blit_prepare_2160p_baseline)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
