// Writing and loading a packed 1920×1080 frame through the disk store
// against a plain write and read of the same file bytes: what the temporary
// name, the rename, the payload walk, the pooled buffers and the LZ4 decode
// cost over the bare file system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cached_frame.h"
#include "store/frame_file.h"
#include "store/frame_file_io.h"
#include "store/frame_store.h"
#include "store/store_names.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kW = 1920;
constexpr uint32_t kH = 1080;
constexpr vel::FrameKey kKey{48, 24};

// A rendered-looking frame: diagonal ramps, with every 64th row noisy.
vel::RgbaFrame bench_frame() {
  std::vector<uint8_t> px(size_t{kW} * kH * 4);
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  for (size_t i = 0; i < px.size(); i += 4) {
    const size_t x = (i / 4) % kW;
    const size_t y = (i / 4) / kW;
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const uint8_t noise = y % 64 == 0 ? static_cast<uint8_t>(state >> 59) : 0;
    px[i] = static_cast<uint8_t>((x + y) / 12 + noise);
    px[i + 1] = static_cast<uint8_t>(y / 5);
    px[i + 2] = static_cast<uint8_t>(x / 8);
    px[i + 3] = 255;
  }
  return vel::RgbaFrame{vel::PixelPayload::adopt(std::move(px)), 2.0, kW, kH};
}

struct Fixture {
  fs::path dir;
  vel::PackedFrame packed;
  std::vector<uint8_t> file;  // the frame file's bytes, for the baselines

  Fixture() {
    std::string pattern = (fs::temp_directory_path() / "vel-bench-store-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir = pattern;
    const vel::RgbaFrame raw = bench_frame();
    packed = vel::PackedFrame{kW, kH, raw.time, vel::PixelPayload::adopt(*vel::pack_frame_payload(raw))};
    const auto header = vel::vnf3_header(kKey, kW, kH, raw.time, static_cast<uint32_t>(packed.packed.size()));
    file.assign(header.begin(), header.end());
    file.insert(file.end(), packed.packed.data(), packed.packed.data() + packed.packed.size());
    const vel::FrameCheck check = vel::frame_check({file});
    file.insert(file.end(), check.begin(), check.end());
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void plain_write(const fs::path& path, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return;
  benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
  ::close(fd);
}

void store_write_packed_frame(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    auto n = vel::write_packed_frame_file(f.dir, kKey, f.packed);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.file.size()));
}

void store_write_packed_frame_baseline(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) plain_write(f.dir / "plain.vnf", f.file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.file.size()));
}

void store_load_packed_frame(benchmark::State& state) {
  Fixture& f = fixture();
  (void)vel::write_packed_frame_file(f.dir, kKey, f.packed);
  for (auto _ : state) {
    vel::LoadContext ctx;  // a fresh table: every load reads and decodes
    auto frame = vel::load_frame_file(f.dir, kKey, ctx);
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.file.size()));
}

void store_load_packed_frame_baseline(benchmark::State& state) {
  Fixture& f = fixture();
  plain_write(f.dir / "plain.vnf", f.file);
  std::vector<uint8_t> buffer(f.file.size());
  for (auto _ : state) {
    const int fd = ::open((f.dir / "plain.vnf").c_str(), O_RDONLY | O_CLOEXEC);
    benchmark::DoNotOptimize(::read(fd, buffer.data(), buffer.size()));
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(f.file.size()));
}

}  // namespace

BENCHMARK(store_write_packed_frame);
BENCHMARK(store_write_packed_frame_baseline);
BENCHMARK(store_load_packed_frame);
BENCHMARK(store_load_packed_frame_baseline);
BENCHMARK_MAIN();
