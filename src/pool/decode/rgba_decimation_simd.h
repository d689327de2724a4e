// The vector row copiers behind the pool's reduction of a delivered frame,
// for the factors previews use most (2 and 4). They write exactly the bytes
// the portable copier writes; they exist because a reduced row reads lines
// `factor` rows apart, where the processor's own prefetcher restarts at
// every row and the copy waits on the last-level cache: fewer instructions
// per source line keep more lines in flight.
#pragma once

#include <cstdint>

#include "pool/decode/rgba_decimation.h"

namespace vel::decimation_simd {

// Whether this build and this processor run the vector copier `copier`:
// SSE2 on every x86-64 processor, AVX-512F when the processor says so at run
// time; never the portable one, nor any away from x86-64.
bool available(RowCopier copier);

// Pixel c of `out` is pixel c × step of `row`, for c < count, when `step`
// is 2 or 4 and `copier` is available; false, with nothing written, otherwise.
// While it copies it asks the cache for the same pixels of `next` (the row
// the following call reads; null for none). Both rows hold `row_pixels`
// pixels, more than (count - 1) × step; nothing past them is read. Writes
// into the aligned part of `out` bypass the cache (the reduced frame is read
// later, by another thread): call `finish()` before the buffer changes hands.
bool copy_every_nth_pixel(RowCopier copier, const uint8_t* row, const uint8_t* next, uint32_t row_pixels,
                          uint64_t step, uint8_t* out, uint32_t count);

// Orders the cache-bypassing writes before whatever follows, so that a
// thread handed the buffer afterwards sees every byte.
void finish();

}  // namespace vel::decimation_simd
