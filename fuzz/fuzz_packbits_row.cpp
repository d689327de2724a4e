// PackBits rows of Photoshop files: unpacking never writes past the expected
// count nor reads past the row, and the checking walk agrees with it. The
// first two bytes give the expected count; the rest is the packed row.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "pool/decode/packbits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t expected = 1 + ((size_t{data[0]} << 8) | data[1]) % 2048;
  const std::span<const uint8_t> packed(data + 2, size - 2);
  std::vector<uint8_t> out(expected);  // exact size: ASan catches a byte past it
  const bool unpacked = vel::unpack_bits_row(packed, expected, out.data());
  if (unpacked != vel::check_packbits_row(packed, expected)) std::abort();
  return 0;
}
