// Decoding a packed frame back into raw pixels, on the unpack worker.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "cache/buffer_pool.h"
#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

// The raw frame of a packed payload (u32 LE length, then one LZ4 block),
// decoded into a pooled buffer of exactly width × height × 4 bytes. None
// when the size overflows or is 0, the header disagrees with it, no buffer
// can be had, or the block does not decode to exactly that many bytes.
// Never reads or writes outside the given bytes and the buffer.
std::optional<RgbaFrame> unpack_packed_frame(uint32_t width, uint32_t height, std::span<const uint8_t> packed,
                                             double time);

// Makes a payload of freshly unpacked pixels. Small frames (up to 1 MiB)
// identical to one of the last 4 unpacked that is still alive share its
// payload (the new buffer goes back to the pool), so identical frames are
// held and counted once.
PixelPayload share_unpacked_payload(ByteBuffer buffer);

}  // namespace vel
