// The CPU presentation of one panel home: the display view, and either a
// "velocinta-pixels" worker behind a presenter mailbox, with what the panel
// knows of the frame on screen and the one on its way, or, without one, the
// scratch and output buffer to prepare on the main thread. The bitmap pair
// alternates the bitmaps shown.
// Main thread only; the panel's views and layout own one of these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "cache/rgba_frame.h"
#include "panel/present/bitmap_present.h"
#include "panel/present/pixel_prep.h"
#include "panel/present/present_bytes.h"
#include "panel/present/presenter_mailbox.h"

namespace vel {

struct PicturePixels {
  uint32_t width = 0;
  uint32_t height = 0;
  friend bool operator==(const PicturePixels&, const PicturePixels&) = default;
};

class CpuPresentation {
 public:
  // With `use_worker` it starts "velocinta-pixels"; at the worker limit or
  // when no thread starts (logged by the registry) it prepares on the main
  // thread instead.
  // `on_result` runs on the worker after each result (by default the early
  // idle request).
  CpuPresentation(std::shared_ptr<platform::NSImageView> view, bool use_worker,
                  std::function<void()> on_result = {});
  // Stops the worker (the reaper joins it) and blanks the view.
  ~CpuPresentation();
  CpuPresentation(const CpuPresentation&) = delete;
  CpuPresentation& operator=(const CpuPresentation&) = delete;

  // The device-pixel size of the picture (the layout's).
  void set_picture_px(PicturePixels px) { picture_px_ = px; }
  PicturePixels picture_px() const { return picture_px_; }

  // A new frame: posted to the worker, or prepared and shown at once.
  // False when nothing was posted or shown.
  bool show_frame(const RgbaFrame& frame);

  // Collects a frame the worker finished and shows it. After a size change
  // the frame on its way, else the frame on screen, is posted again at the
  // new size; a frame on its way whose preparation failed, once it may be
  // retried. Answers whether a frame was shown.
  bool represent_retained_frame();

  // Drops what is on its way (a new present request was opened); the frame
  // on screen stays.
  void invalidate();

  // Drops what is on its way and empties the view: nothing is on screen.
  void blank();

  bool has_worker() const { return mailbox_ != nullptr; }
  const std::shared_ptr<PresenterMailbox>& mailbox() const { return mailbox_; }
  platform::NSImageView& view() { return *view_; }

 private:
  bool show_prepared(const RgbaFrame& source, const PresentRequest& request, const uint8_t* pixels, size_t length,
                     uint32_t width, uint32_t height);
  void recount();

  std::shared_ptr<platform::NSImageView> view_;
  PicturePixels picture_px_;
  PresentScratch scratch_;
  std::vector<uint8_t> output_;
  BitmapPair bitmaps_;
  std::shared_ptr<PresenterMailbox> mailbox_;
  PresenterSubmission submission_;
  PresentByteCount counted_;
  int presenting_ = 0;
};

}  // namespace vel
