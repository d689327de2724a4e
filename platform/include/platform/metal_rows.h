// The stand-in GPU's many cores: a draw or a blit command hands its rows to
// the device's raster threads in bands, as a GPU spreads a pass over its
// cores. Bands are disjoint, so each row is computed exactly as a single
// thread would compute it.
#pragma once

#include <cstdint>

namespace platform {

// Work on rows [begin, end) of one command.
using RowBand = void (*)(void* context, int64_t begin, int64_t end);

// Runs `band` over rows [0, rows) of `row_pixels` pixels each: in bands of
// about kRowBandPixels pixels, claimed by the raster threads and the caller
// alike; returns once every band has run. One band runs on the caller alone.
void run_row_bands(int64_t rows, int64_t row_pixels, RowBand band, void* context);

inline constexpr int64_t kRowBandPixels = 16384;

// Adapter for a callable taking (begin, end).
template <class F>
void for_row_bands(int64_t rows, int64_t row_pixels, F&& f) {
  run_row_bands(
      rows, row_pixels, [](void* c, int64_t b, int64_t e) { (*static_cast<F*>(c))(b, e); },
      const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace platform
