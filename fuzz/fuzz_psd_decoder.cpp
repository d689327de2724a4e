// Photoshop frame files come from worker processes: both readers must refuse
// or produce exactly their size, never read outside the bytes, and agree
// with each other on every pixel they both produce, and the sampled reader's
// plain pixel path with its SIMD one. The size the file's head states, all
// a file too large to read is judged by, must be the size of every image
// that decodes. The first byte picks the sampling step; the rest is the
// file.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include "pool/decode/frame_file_bounds.h"
#include "pool/decode/psd_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint64_t step = 1 + data[0] % 4;
  const std::span<const uint8_t> file(data + 1, size - 1);
  const std::optional<vel::FrameDimensions> stated =
      vel::stated_frame_size(file.first(std::min(file.size(), vel::kFrameFileHeadBytes)), false);
  std::optional<vel::DecodedImage> full = vel::decode_psd(file);
  std::optional<vel::DecodedImage> sampled = vel::decode_psd_sampled(file, step);
  std::optional<vel::DecodedImage> plain = vel::decode_psd_sampled(file, step, vel::PixelPath::Plain);
  if (full.has_value() != sampled.has_value() || sampled.has_value() != plain.has_value()) std::abort();
  if (!full) return 0;
  if (plain->pixels != sampled->pixels) std::abort();
  vel::return_pooled_buffer(std::move(plain->pixels));
  if (!stated || stated->width != full->width || stated->height != full->height) std::abort();
  const uint64_t bpp = full->bytes_per_pixel;
  if ((bpp != 3 && bpp != 4) || full->pixels.size() != full->width * full->height * bpp) std::abort();
  const uint64_t ow = vel::sampled_side(full->width, step), oh = vel::sampled_side(full->height, step);
  if (sampled->width != ow || sampled->height != oh || sampled->pixels.size() != ow * oh * 4) std::abort();
  for (uint64_t y = 0; y < oh; ++y) {
    for (uint64_t x = 0; x < ow; ++x) {
      const uint8_t* s = &sampled->pixels[(y * ow + x) * 4];
      const uint8_t* f = &full->pixels[((y * step) * full->width + x * step) * bpp];
      for (uint64_t c = 0; c < bpp; ++c) {
        if (s[c] != f[c]) std::abort();
      }
    }
  }
  vel::return_pooled_buffer(std::move(full->pixels));
  vel::return_pooled_buffer(std::move(sampled->pixels));
  return 0;
}
