// The pool's cheap reduction of a delivered frame: every f-th pixel of every
// f-th row (the top-left pixel of each f × f block, no filtering), which is
// what a preview at 1/f resolution of a frame rendered in full needs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace vel {

struct ReducedSize {
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t bytes = 0;  // width × height × 4
};

// The size of a w × h RGBA8 frame held in `payload_bytes` bytes, reduced by
// f: max(w / f, 1) × max(h / f, 1). Nothing when w, h or f is 0, when
// w × h × 4 overflows or differs from `payload_bytes`.
std::optional<ReducedSize> reduced_rgba_size(uint32_t width, uint32_t height, uint64_t payload_bytes,
                                             uint64_t factor);

// Writes the reduction of `source` (w × h, rows of w × 4 bytes) into `out`,
// which holds exactly `size.bytes`. False, with nothing promised about
// `out`, when a source or destination pixel would fall outside its buffer.
bool reduce_rgba(std::span<const uint8_t> source, uint32_t width, uint32_t height, uint64_t factor,
                 const ReducedSize& size, std::span<uint8_t> out);

// The row copiers a reduction can run. All write the same bytes: the
// vector ones serve factors 2 and 4 and leave the others to the portable
// one. `reduce_rgba` runs the fastest this processor has; the choice is
// here so that they can be checked against each other.
enum class RowCopier { portable, sse2, avx512 };

// Whether this build and this processor run `copier`.
bool row_copier_available(RowCopier copier);

// `reduce_rgba` with the given copier; false, as for a refused size, when
// it is not available.
bool reduce_rgba_with(RowCopier copier, std::span<const uint8_t> source, uint32_t width, uint32_t height,
                      uint64_t factor, const ReducedSize& size, std::span<uint8_t> out);

}  // namespace vel
