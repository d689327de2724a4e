#include "pool/decode/frame_file_bounds.h"

namespace vel {

namespace {

// Targa: the header with an image ID of 255 bytes, and after the pixels the
// extension area and the footer.
constexpr uint64_t kTargaFrame = 18 + 255 + 495 + 26;
constexpr uint64_t kTargaBytesPerPixel = 5;
// Photoshop: the fixed header, the three section lengths and the
// compression word; per row, a 16-bit length of each of four channels.
constexpr uint64_t kPhotoshopFrame = 26 + 3 * 4 + 2;
constexpr uint64_t kPhotoshopBytesPerRow = 4 * 2;
constexpr uint64_t kPhotoshopBytesPerPixel = 4 * 2 * 2;

constexpr uint64_t kMaxSide = 30000;

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

uint64_t frame_file_byte_limit(bool targa, const std::optional<FrameDimensions>& size) {
  if (!size || size->width == 0 || size->height == 0) return kFrameFileReadCeiling;
  const uint64_t w = size->width, h = size->height;  // each below 2^32: no product overflows 128 bits
  const unsigned __int128 bytes =
      targa ? static_cast<unsigned __int128>(w) * h * kTargaBytesPerPixel + kTargaFrame
            : static_cast<unsigned __int128>(w) * h * kPhotoshopBytesPerPixel + h * kPhotoshopBytesPerRow +
                  kPhotoshopFrame;
  const unsigned __int128 limit = bytes + kFrameFileMetadataBytes;
  return limit > kFrameFileReadCeiling ? kFrameFileReadCeiling : static_cast<uint64_t>(limit);
}

std::optional<FrameDimensions> stated_frame_size(std::span<const uint8_t> head, bool targa) {
  uint64_t w = 0, h = 0;
  if (targa) {
    // No colour map, true colour raw or run-length, 24 or 32 bits.
    if (head.size() < 18 || head[1] != 0 || (head[2] != 2 && head[2] != 10) || (head[16] != 24 && head[16] != 32))
      return std::nullopt;
    w = uint64_t{head[12]} | uint64_t{head[13]} << 8;
    h = uint64_t{head[14]} | uint64_t{head[15]} << 8;
  } else {
    // "8BPS", version 1, RGB.
    if (head.size() < 26 || head[0] != '8' || head[1] != 'B' || head[2] != 'P' || head[3] != 'S' || head[4] != 0 ||
        head[5] != 1 || head[24] != 0 || head[25] != 3)
      return std::nullopt;
    h = be32(head.data() + 14);
    w = be32(head.data() + 18);
  }
  if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) return std::nullopt;
  return FrameDimensions{static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
}

}  // namespace vel
