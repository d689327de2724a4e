// Targa files as the host's "Targa" output module writes them for the pool:
// 32 bits, straight alpha (8 alpha bits), rows from the bottom up, raw or
// run-length, ended by the extension area and the "TRUEVISION-XFILE" footer.
#pragma once

#include <cstdint>
#include <vector>

#include "frame_image.h"

namespace sim {

struct TgaWriteOptions {
  bool run_length = false;
  bool with_footer = true;  // extension area (attributes type 3) and footer
};

std::vector<uint8_t> encode_tga(const FrameImage& image, const TgaWriteOptions& options);

}  // namespace sim
