// Frame files come from disk, left by an earlier run, cut short by a crash
// or planted: the parser must refuse or give exactly width × height × 4
// bytes, and the packed-payload walk that guards packed writes must never
// accept a block that decodes to anything but the raw length.
#include <lz4.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "store/frame_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);

  if (auto frame = vel::parse_frame_file(bytes)) {
    if (frame->pixels.size() != uint64_t{frame->width} * frame->height * 4) std::abort();
  }
  (void)vel::parse_alias_file(bytes);

  // The same bytes as a packed payload: the u32 prefix names the raw length,
  // kept small so the reference decode stays cheap.
  if (size < 4) return 0;
  const uint64_t raw = vel::load_u32_le(data) % 65536;
  const std::span<const uint8_t> block = bytes.subspan(4);
  const bool walk = vel::lz4_block_decodes_to(block, raw);
  std::vector<char> out(raw + 1);
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()), out.data(),
                                    static_cast<int>(block.size()), static_cast<int>(raw));
  if (walk && n >= 0 && static_cast<uint64_t>(n) != raw) std::abort();
  // The other way round the library is no judge: it decodes a match at
  // offset 0 (which the block format forbids) from bytes not yet written,
  // where the walk refuses the block.
  return 0;
}
