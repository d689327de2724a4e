// What the stand-in screen shows: for each live image view, its frame, the
// pixel size of the image set on it, how many images were set and a copy of
// the shown pixels. Tests and the stand-in host read it (any thread); the
// real frameworks have no such thing.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/appkit_image.h"

namespace platform {

struct ShownImage {
  uint64_t view_id = 0;
  NSRect frame;
  uint64_t images_set = 0;    // setImage: calls with an image
  int64_t pixels_wide = 0;    // of the first bitmap representation; 0 for none
  int64_t pixels_high = 0;
  std::vector<unsigned char> pixels;  // that representation's bytes as shown
};

// Every live view, in creation order.
std::vector<ShownImage> shown_images();
// One view, while it lives.
std::optional<ShownImage> shown_image(uint64_t view_id);

// Totals over the whole process, views that ended included.
struct DisplayTotals {
  uint64_t views_created = 0;
  uint64_t images_set = 0;
  int64_t last_pixels_wide = 0;  // of the last image shown anywhere
  int64_t last_pixels_high = 0;
};
DisplayTotals display_totals();

// Failure injection: the next `count` bitmap creations (or bitmapData calls)
// fail as the framework may under memory pressure.
void fail_next_bitmap_creations(uint32_t count);
void fail_next_bitmap_data(uint32_t count);

}  // namespace platform
