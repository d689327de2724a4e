#include "panel/present/bitmap_present.h"

#include <cstring>

#include "core/log.h"
#include "platform/appkit_image.h"

namespace vel {

bool present_bitmap_cpu(platform::NSImageView& view, const uint8_t* pixels, size_t length, int64_t width,
                        int64_t height, bool force_opaque, BitmapPair* pair) {
  if (width <= 0 || height <= 0 || pixels == nullptr) return false;
  const unsigned __int128 area = static_cast<unsigned __int128>(width) * static_cast<uint64_t>(height);
  if (area >= (static_cast<unsigned __int128>(1) << 62) || width >= (int64_t{1} << 61)) return false;
  const unsigned __int128 bytes = area * 4;
  if (bytes > length) return false;
  const size_t n = static_cast<size_t>(bytes);

  std::shared_ptr<platform::NSBitmapImageRep> bitmap;
  if (pair != nullptr) {
    const BitmapSlot& slot = pair->slots[pair->next];
    if (slot.bitmap && slot.width == width && slot.height == height) bitmap = slot.bitmap;
  }
  if (!bitmap) {
    bitmap = platform::NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, width, height, 8, 4, true, false,
                                                                   platform::NSDeviceRGBColorSpace, width * 4, 32);
    if (!bitmap) {
      log_line("ERROR", "preview: bitmap allocation failed; retaining previous image");
      return false;
    }
  }
  unsigned char* data = bitmap->bitmapData();
  if (data == nullptr) {
    log_line("ERROR", "preview: bitmapData NULL");
    return false;
  }
  std::memcpy(data, pixels, n);
  if (force_opaque) {
    for (size_t i = 3; i < n; i += 4) data[i] = 255;
  }
  auto image = platform::NSImage::initWithSize({static_cast<double>(width), static_cast<double>(height)});
  image->addRepresentation(bitmap);
  view.setImage(std::move(image));

  if (pair != nullptr) {
    pair->slots[pair->next] = BitmapSlot{std::move(bitmap), width, height};
    pair->next ^= 1;
    uint64_t counted = 0;
    for (const BitmapSlot& s : pair->slots) {
      if (s.bitmap) counted = saturating_sum(counted, static_cast<uint64_t>(s.width) * static_cast<uint64_t>(s.height) * 4);
    }
    pair->counted.recount(counted);
  }
  return true;
}

}  // namespace vel
