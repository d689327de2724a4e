// The memory-output reader's own cost per frame against the bare copy of the
// same bytes: taking one published 1920 × 1080 frame out of the slot,
// checking it against the contract and wrapping it for the frame channel
// (with the refill of its reusable buffer), and the reduction by a factor
// against a memcpy of the reduced bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_frames.h"
#include "cache/buffer_pool.h"
#include "cache/pixel_payload.h"
#include "memout/output_consumer.h"
#include "memout/output_writer.h"
#include "pool/decode/rgba_decimation.h"

namespace {

using vel::bench::kFrameBytes;
using vel::bench::kHeight;
using vel::bench::kWidth;
using vel::bench::noise_bytes;

// One output whose producer publishes the next frame of the range into the
// slot on demand, outside the timing: the frame the reader then takes was
// just written, as a worker's is, so both benchmarks below start each
// iteration from the same caches.
struct PublishedFrames {
  std::string output = "/tmp/vel-bench-reader-" + std::to_string(::getpid()) + ".vnm";
  vel::OutputRequest req = vel::bench::full_hd_request(24);
  std::optional<vel::MemoryOutputConsumer> consumer;
  std::optional<vel::MemoryOutputWriter> writer;
  std::string error;
  std::vector<uint8_t> argb = noise_bytes(kFrameBytes);
  int64_t next = 0;

  PublishedFrames() {
    auto made = vel::create_memory_output(output, req);
    if (!made) {
      error = made.error().message;
      return;
    }
    consumer = std::move(*made);
    auto attached = vel::read_output_manifest(output);
    if (!attached) {
      error = attached.error().message;
      return;
    }
    writer = std::move(*attached);
    // The reader's first look at the empty slot lets the first frame go.
    std::vector<uint8_t> pixels;
    if (auto looked = vel::receive_output_frame(*consumer, pixels); !looked) error = looked.error().message;
  }
  bool publish(benchmark::State& state) {
    state.PauseTiming();  // the producer's side is not the reader's cost
    const vel::ArgbFrame frame{argb.data(), argb.size(), kWidth * 4, kWidth, kHeight};
    const bool ok = next <= req.range_end && vel::write_frame_to_slot(*writer, next++, frame, false);
    if (!ok) {
      state.SkipWithError("producer refused a frame");
      return false;
    }
    state.ResumeTiming();
    return ok;
  }
};

void BM_reader_frame(benchmark::State& state) {
  PublishedFrames frames;
  if (!frames.writer) return state.SkipWithError(frames.error.c_str());
  std::vector<uint8_t> buffer(kFrameBytes);
  for (auto _ : state) {
    if (!frames.publish(state)) break;
    auto got = vel::receive_output_frame(*frames.consumer, buffer);
    if (!got || !got->has_value()) {
      state.SkipWithError("no frame");
      break;
    }
    vel::PixelPayload payload = vel::PixelPayload::adopt(std::move(buffer));
    benchmark::DoNotOptimize(payload.data());
    std::optional<vel::ByteBuffer> refill = vel::take_pooled_buffer(kFrameBytes, kFrameBytes);
    buffer = refill ? std::move(*refill) : std::vector<uint8_t>(kFrameBytes);
    state.PauseTiming();
    // The cache gives evicted frames back to the pool: the steady state.
    if (std::optional<std::vector<uint8_t>> bytes = payload.try_take_bytes()) vel::return_pooled_buffer(std::move(*bytes));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_reader_frame)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One memcpy of the same published bytes, straight out of the slot, with no
// take, check or wrap. Its destinations take turns as the reader's do (the
// buffer it fills, then the one the previous frame gave back), and the slot
// is freed outside the timing. A copy of a source nobody rewrites into a
// destination that never changes keeps both in the last-level cache and
// measures the cache, not the frame's road.
void BM_reader_frame_baseline(benchmark::State& state) {
  PublishedFrames frames;
  if (!frames.writer) return state.SkipWithError(frames.error.c_str());
  const uint8_t* payload = frames.consumer->segment().base() + vel::kSegmentHeaderBytes;
  std::vector<uint8_t> destinations[2] = {std::vector<uint8_t>(kFrameBytes), std::vector<uint8_t>(kFrameBytes)};
  size_t turn = 0;
  for (auto _ : state) {
    if (!frames.publish(state)) break;
    std::vector<uint8_t>& dst = destinations[turn++ % 2];
    std::memcpy(dst.data(), payload, kFrameBytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
    state.PauseTiming();
    frames.consumer->segment().header().slot_state().store(vel::kSlotFree, std::memory_order_release);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}
BENCHMARK(BM_reader_frame_baseline)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_reader_decimate(benchmark::State& state) {
  const uint64_t factor = static_cast<uint64_t>(state.range(0));
  const std::vector<uint8_t> src = noise_bytes(kFrameBytes);
  const auto size = vel::reduced_rgba_size(kWidth, kHeight, kFrameBytes, factor);
  if (!size) return state.SkipWithError("size");
  for (auto _ : state) {
    std::optional<vel::ByteBuffer> out = vel::take_pooled_buffer(size->bytes, size->bytes);  // as the reader takes it
    if (!out || !vel::reduce_rgba(src, kWidth, kHeight, factor, *size, *out)) {
      state.SkipWithError("reduce");
      break;
    }
    benchmark::DoNotOptimize(out->data());
    vel::return_pooled_buffer(std::move(*out));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size->bytes));
}
BENCHMARK(BM_reader_decimate)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

void BM_reader_decimate_baseline(benchmark::State& state) {
  const uint64_t factor = static_cast<uint64_t>(state.range(0));
  const uint64_t bytes = uint64_t{kWidth / factor} * (kHeight / factor) * 4;
  const std::vector<uint8_t> src = noise_bytes(bytes);
  std::vector<uint8_t> dst(bytes);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_reader_decimate_baseline)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
