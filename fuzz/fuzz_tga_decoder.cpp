// Targa frame files come from worker processes and the disk: the reader must
// refuse or produce exactly the sampled size, never read outside the bytes.
// The plain pixel path must refuse and produce exactly what the SIMD one
// does. The size the file's head states, all a file too large to read is
// judged by, must be the size of every image that decodes. The first byte
// picks the sampling step; the rest is the file.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include "pool/decode/frame_file_bounds.h"
#include "pool/decode/tga_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint64_t step = data[0] % 9;  // 0 is refused
  const std::span<const uint8_t> file(data + 1, size - 1);
  const std::optional<vel::FrameDimensions> stated =
      vel::stated_frame_size(file.first(std::min(file.size(), vel::kFrameFileHeadBytes)), true);
  std::optional<vel::DecodedImage> image = vel::decode_tga(file, step);
  std::optional<vel::DecodedImage> plain = vel::decode_tga(file, step, vel::PixelPath::Plain);
  if (image.has_value() != plain.has_value()) std::abort();
  if (!image) return 0;
  if (plain->pixels != image->pixels) std::abort();
  vel::return_pooled_buffer(std::move(plain->pixels));
  if (step == 0 || image->bytes_per_pixel != 4 || image->pixels.size() != image->width * image->height * 4) {
    std::abort();
  }
  const std::optional<vel::TgaHeader> h = vel::parse_tga_header(file);
  if (!h || image->width != vel::sampled_side(h->width, step) || image->height != vel::sampled_side(h->height, step)) {
    std::abort();
  }
  if (!stated || stated->width != h->width || stated->height != h->height) std::abort();
  vel::return_pooled_buffer(std::move(image->pixels));
  return 0;
}
