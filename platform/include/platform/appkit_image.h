// The image side of AppKit, headless: a bitmap image representation, an
// image holding representations, and an image view that shows an image.
// Names follow the framework's so that a port maps one to one. Objects are
// reference-counted (shared_ptr stands in for retain/release) and, as in
// AppKit, touched on the main thread only; the record of what each view
// shows may be read from any thread (appkit_display_record.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/appkit_view.h"

namespace platform {

inline constexpr std::string_view NSDeviceRGBColorSpace = "NSDeviceRGBColorSpace";

// Meshed (not planar) 8-bit samples only: what the panel asks for.
class NSBitmapImageRep {
 public:
  // initWithBitmapDataPlanes:pixelsWide:pixelsHigh:bitsPerSample:
  // samplesPerPixel:hasAlpha:isPlanar:colorSpaceName:bytesPerRow:bitsPerPixel:
  // with no planes (the rep owns its pixels). Null when the arguments do not
  // describe a meshed 8-bit image or the pixels cannot be allocated.
  static std::shared_ptr<NSBitmapImageRep> initWithBitmapDataPlanes(unsigned char** planes, int64_t pixelsWide,
                                                                     int64_t pixelsHigh, int64_t bitsPerSample,
                                                                     int64_t samplesPerPixel, bool hasAlpha,
                                                                     bool isPlanar, std::string_view colorSpaceName,
                                                                     int64_t bytesPerRow, int64_t bitsPerPixel);

  // The first byte of the pixels; null when the rep cannot give them.
  unsigned char* bitmapData();
  int64_t pixelsWide() const { return wide_; }
  int64_t pixelsHigh() const { return high_; }
  int64_t bytesPerRow() const { return row_bytes_; }
  int64_t samplesPerPixel() const { return samples_; }
  bool hasAlpha() const { return alpha_; }
  const std::vector<unsigned char>& pixels() const { return pixels_; }

 private:
  NSBitmapImageRep() = default;
  int64_t wide_ = 0, high_ = 0, row_bytes_ = 0, samples_ = 0;
  bool alpha_ = false;
  std::vector<unsigned char> pixels_;
};

class NSImage {
 public:
  // initWithSize: (points).
  static std::shared_ptr<NSImage> initWithSize(NSSize size);
  void addRepresentation(std::shared_ptr<NSBitmapImageRep> rep);
  const std::vector<std::shared_ptr<NSBitmapImageRep>>& representations() const { return reps_; }
  NSSize size() const { return size_; }

 private:
  NSSize size_;
  std::vector<std::shared_ptr<NSBitmapImageRep>> reps_;
};

enum NSImageScaling : int64_t {
  NSImageScaleProportionallyDown = 0,
  NSImageScaleAxesIndependently = 1,
  NSImageScaleNone = 2,
  NSImageScaleProportionallyUpOrDown = 3,
};

class NSImageView : public NSView {
 public:
  // alloc + initWithFrame:. Every view gets a process-unique id for the
  // display record; the record ends with the view.
  static std::shared_ptr<NSImageView> initWithFrame(NSRect frame);
  ~NSImageView() override;

  // setImage: retains the image (null clears the view) and records what is
  // now shown.
  void setImage(std::shared_ptr<NSImage> image);
  const std::shared_ptr<NSImage>& image() const { return image_; }
  void setFrame(NSRect frame) override;
  void setImageScaling(NSImageScaling scaling) { scaling_ = scaling; }
  NSImageScaling imageScaling() const { return scaling_; }
  uint64_t viewId() const { return id_; }

 private:
  explicit NSImageView(NSRect frame);
  uint64_t id_ = 0;
  NSImageScaling scaling_ = NSImageScaleProportionallyDown;
  std::shared_ptr<NSImage> image_;
};

}  // namespace platform
