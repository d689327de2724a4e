// What disk damage, a crash or a copy can do to a frame file: bytes flipped,
// the file cut short or extended. Starting from whole, valid files of the
// store (a frame with pixels and an alias naming another frame), the input
// says which file and which changes; the changed file is then loaded the way
// the store loads it. A load may refuse, but it must never give pixels
// other than the file's original frame: a wrong picture is worse than a
// render.
//
// Input: byte 0 picks the file (bit 0: the frame or the alias); then groups
// of four bytes, each one change: kind (flip, cut, extend), a 16-bit
// position, a value.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

#include "core/file_replace.h"
#include "store/frame_file.h"
#include "store/frame_file_io.h"
#include "store/frame_store.h"
#include "store/store_names.h"

namespace {

namespace fs = std::filesystem;
using vel::FrameKey;
using vel::RgbaFrame;

constexpr FrameKey kLoaded{1, 24};  // the key of the changed file
constexpr FrameKey kTarget{0, 24};  // the alias's target, never changed

RgbaFrame pattern(uint32_t w, uint32_t h, uint8_t seed, double time) {
  std::vector<uint8_t> px(size_t{w} * h * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>((i / 5 + seed) * 29 + (i % 7 == 0 ? i : 0));
  return RgbaFrame{vel::PixelPayload::adopt(std::move(px)), time, w, h};
}

struct Fixture {
  fs::path dir;
  RgbaFrame own = pattern(7, 5, 3, 1.0 / 24);     // the frame file's pixels
  RgbaFrame target = pattern(7, 5, 9, 0.0);       // the alias target's pixels
  std::vector<uint8_t> frame_file;
  std::vector<uint8_t> alias_file;

  Fixture() {
    char tmpl[] = "/tmp/vel-fuzz-loader-XXXXXX";
    const char* made = ::mkdtemp(tmpl);
    if (made == nullptr) std::abort();
    dir = made;
    if (!vel::write_raw_frame_file(dir, kTarget, target)) std::abort();
    if (!vel::write_raw_frame_file(dir, kLoaded, own)) std::abort();
    frame_file = read(dir / vel::frame_file_name(kLoaded));
    if (!vel::write_alias_file(dir, kLoaded, 1.0 / 24, kTarget)) std::abort();
    alias_file = read(dir / vel::frame_file_name(kLoaded));
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  static std::vector<uint8_t> read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void apply_change(std::vector<uint8_t>& bytes, const uint8_t* op) {
  const size_t pos = static_cast<size_t>(op[1]) | static_cast<size_t>(op[2]) << 8;
  const uint8_t value = op[3];
  switch (op[0] % 3) {
    case 0:  // flip bits of one byte
      if (!bytes.empty()) bytes[pos % bytes.size()] ^= value == 0 ? 1 : value;
      break;
    case 1:  // cut the file short
      bytes.resize(pos % (bytes.size() + 1));
      break;
    default:  // extend it, at the end or inside
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(pos % (bytes.size() + 1)), value % 16 + 1, value);
      break;
  }
}

bool same_pixels(const vel::PixelPayload& got, const RgbaFrame& want) {
  return got.size() == want.pixels.size() && std::memcmp(got.data(), want.pixels.data(), got.size()) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Fixture& fx = fixture();
  const bool alias = (data[0] & 1) != 0;
  std::vector<uint8_t> bytes = alias ? fx.alias_file : fx.frame_file;
  for (size_t at = 1; at + 4 <= size && at < 1 + 4 * 16; at += 4) apply_change(bytes, data + at);

  // The original frame: its own pixels, or the target's through the alias,
  // at the changed file's own time either way.
  const RgbaFrame& want = alias ? fx.target : fx.own;
  if (auto frame = vel::parse_frame_file(bytes)) {
    if (alias || !same_pixels(frame->pixels, want) || !(frame->key == kLoaded) || frame->width != want.width ||
        frame->height != want.height || frame->time != fx.own.time) {
      std::abort();
    }
  }
  if (auto record = vel::parse_alias_file(bytes)) {
    if (!alias || !(record->key == kLoaded) || !(record->target == kTarget) || record->time != 1.0 / 24) std::abort();
  }

  // The store's own load, as a later run makes it: a fresh context, the
  // changed file beside its untouched target.
  if (!vel::replace_file(fx.dir / vel::frame_file_name(kLoaded), std::span<const uint8_t>(bytes))) std::abort();
  vel::LoadContext ctx;
  if (auto loaded = vel::load_frame_file(fx.dir, kLoaded, ctx)) {
    if (!same_pixels(loaded->pixels, want) || !(loaded->key == kLoaded) || loaded->width != want.width ||
        loaded->height != want.height || loaded->time != 1.0 / 24) {
      std::abort();
    }
  }
  return 0;
}
