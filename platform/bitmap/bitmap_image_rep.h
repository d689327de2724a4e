// Headless stand-in of the system's bitmap image representation
// (NSBitmapImageRep over NSData): decodes PNG, JPEG, BMP, GIF and the like
// from bytes and answers the layout questions the real one answers. Not
// thread-safe: callers serialise every use, as they must with the real one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

class BitmapImageRep {
 public:
  // initWithData: nothing (nil) when the bytes are no image it knows, or an
  // image larger than 30000 on a side or 64 Mi pixels.
  static std::unique_ptr<BitmapImageRep> init_with_data(const uint8_t* bytes, size_t length);
  ~BitmapImageRep();
  BitmapImageRep(const BitmapImageRep&) = delete;
  BitmapImageRep& operator=(const BitmapImageRep&) = delete;

  int64_t pixels_wide() const { return width_; }
  int64_t pixels_high() const { return height_; }
  // As stored: 1 grey, 2 grey + alpha, 3 RGB, 4 RGBA.
  int64_t samples_per_pixel() const { return samples_; }
  int64_t bits_per_sample() const { return bits_; }  // 8 or 16 (native byte order)
  int64_t bytes_per_row() const { return width_ * samples_ * (bits_ / 8); }
  bool is_planar() const { return false; }
  // Meshed samples, rows from the top, straight (non-premultiplied) alpha.
  const uint8_t* bitmap_data() const { return pixels_; }

 private:
  BitmapImageRep() = default;
  int64_t width_ = 0, height_ = 0, samples_ = 0, bits_ = 8;
  uint8_t* pixels_ = nullptr;
};

}  // namespace platform
