// Packed frames come back from the disk store, written by an earlier run or
// damaged on disk: decoding must refuse or produce exactly width × height × 4
// bytes, never read or write outside what it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "cache/pack_worker.h"
#include "cache/unpack_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // The first four bytes pick a small frame size; the rest is the payload.
  const uint32_t width = 1 + data[0] % 64;
  const uint32_t height = 1 + data[1] % 64;
  const bool well_formed = (data[2] & 1) != 0;
  std::span<const uint8_t> rest(data + 4, size - 4);

  if (well_formed) {
    // Round trip: whatever the pixels, packing then unpacking gives them back.
    const size_t len = size_t{width} * height * 4;
    std::vector<uint8_t> pixels(len);
    for (size_t i = 0; i < len; ++i) pixels[i] = rest.empty() ? 0 : rest[i % rest.size()];
    std::vector<uint8_t> packed = vel::pack_frame(pixels);
    if (packed.empty()) return 0;
    auto frame = vel::unpack_packed_frame(width, height, packed, 0.0);
    if (!frame || frame->pixels.bytes().size() != len ||
        std::memcmp(frame->pixels.bytes().data(), pixels.data(), len) != 0) {
      std::abort();
    }
    return 0;
  }
  auto frame = vel::unpack_packed_frame(width, height, rest, 0.0);
  if (frame && frame->pixels.bytes().size() != size_t{width} * height * 4) std::abort();
  return 0;
}
