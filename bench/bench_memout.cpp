// The shared-memory transport's costs against the bare copy of the same
// bytes: the producer's ARGB-to-RGBA conversion of one padded 1920 × 1080
// frame, and the frame rate of a producer and a consumer in two processes.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "core/paths.h"
#include "memout/argb_convert.h"
#include "memout/output_consumer.h"
#include "memout/output_writer.h"

namespace {

using vel::bench::kFrameBytes;
using vel::bench::memcpy_frame_each_iteration;
using vel::bench::kHeight;
using vel::bench::kWidth;
constexpr uint64_t kRowBytes = kWidth * 4 + 64;  // hosts pad their rows

std::vector<uint8_t> argb_frame() { return vel::bench::noise_bytes(kRowBytes * kHeight); }

void BM_ConvertArgbFrame(benchmark::State& state) {
  const std::vector<uint8_t> src = argb_frame();
  std::vector<uint8_t> dst(kFrameBytes);
  for (auto _ : state) {
    auto r =
        vel::convert_argb8_to_rgba8(src.data(), src.size(), kRowBytes, kWidth, kHeight, dst.data(), dst.size(), true);
    if (!r) state.SkipWithError(r.error().message.c_str());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_ConvertArgbFrame)->Unit(benchmark::kMicrosecond);

void BM_ConvertArgbFrame_baseline(benchmark::State& state) {
  memcpy_frame_each_iteration(state, argb_frame());
}
BENCHMARK(BM_ConvertArgbFrame_baseline)->Unit(benchmark::kMicrosecond);

// A forked worker writes frames as fast as the slot frees; the benchmark
// thread is the host's reader taking them. One iteration = one frame.
void BM_TwoProcessFrames(benchmark::State& state) {
  const std::filesystem::path base = vel::temp_dir().value_or("/tmp");
  std::string dir = (base / "bench_memout_XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    state.SkipWithError("no scratch folder");
    return;
  }
  const std::string output = dir + "/output.vnm";
  const vel::OutputRequest req = vel::bench::full_hd_request(30);
  auto made = vel::create_memory_output(output, req);
  if (!made) {
    state.SkipWithError(made.error().message.c_str());
    return;
  }
  vel::MemoryOutputConsumer consumer = std::move(*made);
  const std::vector<uint8_t> src = argb_frame();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(120);
    auto writer = vel::read_output_manifest(output);
    if (!writer) _exit(10);
    const vel::ArgbFrame frame{src.data(), src.size(), kRowBytes, kWidth, kHeight};
    for (int64_t f = 0; f <= req.range_end; ++f) {
      if (!vel::write_frame_to_slot(*writer, f, frame, true)) _exit(0);
    }
    _exit(0);
  }
  if (pid < 0) {
    state.SkipWithError("fork failed");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return;
  }
  // A worker that never publishes (it could not attach, or died) must end
  // the run with an error, not leave the reader polling forever.
  constexpr auto kFrameDeadline = std::chrono::seconds(10);
  std::vector<uint8_t> pixels;
  bool failed = false;
  for (auto _ : state) {
    const auto deadline = std::chrono::steady_clock::now() + kFrameDeadline;
    for (;;) {
      auto got = vel::receive_output_frame(consumer, pixels);
      if (!got) {
        state.SkipWithError(got.error().message.c_str());
        failed = true;
        break;
      }
      if (got->has_value()) break;
      if (std::chrono::steady_clock::now() > deadline) {
        state.SkipWithError("worker stopped publishing frames");
        failed = true;
        break;
      }
    }
    if (failed) break;  // the range loop does not stop by itself after an error
    benchmark::DoNotOptimize(pixels.data());
  }
  vel::close_memory_output(consumer);
  kill(pid, SIGKILL);
  int st = 0;
  waitpid(pid, &st, 0);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_TwoProcessFrames)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_TwoProcessFrames_baseline(benchmark::State& state) {
  const std::vector<uint8_t> src(kFrameBytes, 7);
  std::vector<uint8_t> dst(kFrameBytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), kFrameBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_TwoProcessFrames_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
