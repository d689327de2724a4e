#include "bitmap/bitmap_image_rep.h"

#include <climits>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#include <stb/stb_image.h>

namespace platform {

namespace {
constexpr int64_t kMaxSide = 30000;
constexpr int64_t kMaxPixels = 67'108'864;
}  // namespace

std::unique_ptr<BitmapImageRep> BitmapImageRep::init_with_data(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length == 0 || length > static_cast<size_t>(INT_MAX)) return nullptr;
  const int len = static_cast<int>(length);
  int w = 0, h = 0, comp = 0;
  // The size is known before any pixel is allocated, so a tiny file that
  // declares a huge image is refused here.
  if (!stbi_info_from_memory(bytes, len, &w, &h, &comp)) return nullptr;
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || int64_t{w} * h > kMaxPixels) return nullptr;
  const bool sixteen = stbi_is_16_bit_from_memory(bytes, len) != 0;
  int x = 0, y = 0, n = 0;
  void* pixels = sixteen ? static_cast<void*>(stbi_load_16_from_memory(bytes, len, &x, &y, &n, 0))
                         : static_cast<void*>(stbi_load_from_memory(bytes, len, &x, &y, &n, 0));
  if (pixels == nullptr) return nullptr;
  if (x != w || y != h || n < 1 || n > 4) {
    stbi_image_free(pixels);
    return nullptr;
  }
  std::unique_ptr<BitmapImageRep> rep(new BitmapImageRep());
  rep->width_ = x;
  rep->height_ = y;
  rep->samples_ = n;
  rep->bits_ = sixteen ? 16 : 8;
  rep->pixels_ = static_cast<uint8_t*>(pixels);
  return rep;
}

BitmapImageRep::~BitmapImageRep() { stbi_image_free(pixels_); }

}  // namespace platform
