// The AppKit present of prepared pixels: wrap them in a bitmap image inside
// an image and set it on the view. Main thread only. Two bitmaps alternate,
// so the one on screen is never written while it is shown.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "panel/present/present_bytes.h"

namespace platform {
class NSBitmapImageRep;
class NSImageView;
}  // namespace platform

namespace vel {

struct BitmapSlot {
  std::shared_ptr<platform::NSBitmapImageRep> bitmap;
  int64_t width = 0;
  int64_t height = 0;
};

struct BitmapPair {
  std::array<BitmapSlot, 2> slots;
  size_t next = 0;
  PresentByteCount counted;  // width × height × 4 of each filled slot
};

// Shows w × h RGBA8 pixels on `view`, reusing the pair's next bitmap when it
// has that size. With `force_opaque` every alpha becomes 255. False (and the
// view keeps its image) for a bad size, short pixels or a bitmap the
// framework cannot give; those failures are logged.
bool present_bitmap_cpu(platform::NSImageView& view, const uint8_t* pixels, size_t length, int64_t width,
                        int64_t height, bool force_opaque, BitmapPair* pair);

}  // namespace vel
