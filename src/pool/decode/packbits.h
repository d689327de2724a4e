// PackBits rows of Photoshop image data: a signed header byte h, then h + 1
// literal bytes (h >= 0) or one byte repeated 1 − h times (h < 0); −128 is
// padding. A row must produce exactly its expected byte count: a run that
// passes it is cut there, a further packet after it fails the row, and
// padding after it is allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vel {

// Unpacks `packed` into `out`, which holds at least `expected` bytes; true
// when the row is well formed. Never reads outside `packed` nor writes past
// `expected` bytes; on failure `out` holds whatever was unpacked so far.
bool unpack_bits_row(std::span<const uint8_t> packed, size_t expected, uint8_t* out);

// The same rules without output, for rows nobody needs but that must be
// well formed all the same.
bool check_packbits_row(std::span<const uint8_t> packed, size_t expected);

}  // namespace vel
