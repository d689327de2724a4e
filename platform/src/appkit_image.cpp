#include "platform/appkit_image.h"

#include <atomic>
#include <mutex>
#include <new>

#include "platform/appkit_display_record.h"

namespace platform {
namespace {

std::atomic<uint32_t> g_fail_creations{0};
std::atomic<uint32_t> g_fail_data{0};

bool take_failure(std::atomic<uint32_t>& counter) {
  uint32_t n = counter.load(std::memory_order_relaxed);
  while (n > 0) {
    if (counter.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

// The display record: live views by id. Never destroyed, as a view may end
// during process exit.
struct DisplayRecord {
  std::mutex mutex;
  std::vector<ShownImage> views;
  uint64_t next_id = 1;
  DisplayTotals totals;
};
DisplayRecord& record() {
  static DisplayRecord& r = *new DisplayRecord();
  return r;
}

ShownImage* find_locked(DisplayRecord& r, uint64_t id) {
  for (ShownImage& v : r.views) {
    if (v.view_id == id) return &v;
  }
  return nullptr;
}

}  // namespace

std::shared_ptr<NSBitmapImageRep> NSBitmapImageRep::initWithBitmapDataPlanes(
    unsigned char** planes, int64_t pixelsWide, int64_t pixelsHigh, int64_t bitsPerSample, int64_t samplesPerPixel,
    bool hasAlpha, bool isPlanar, std::string_view colorSpaceName, int64_t bytesPerRow, int64_t bitsPerPixel) {
  if (take_failure(g_fail_creations)) return nullptr;
  if (planes != nullptr || isPlanar || bitsPerSample != 8 || samplesPerPixel < 1 || samplesPerPixel > 4) return nullptr;
  if (colorSpaceName != NSDeviceRGBColorSpace || pixelsWide < 1 || pixelsHigh < 1) return nullptr;
  if (bitsPerPixel != samplesPerPixel * 8 || hasAlpha != (samplesPerPixel == 4 || samplesPerPixel == 2)) return nullptr;
  const unsigned __int128 min_row = static_cast<unsigned __int128>(pixelsWide) * samplesPerPixel;
  if (bytesPerRow < 0 || static_cast<unsigned __int128>(bytesPerRow) < min_row) return nullptr;
  const unsigned __int128 total = static_cast<unsigned __int128>(bytesPerRow) * static_cast<uint64_t>(pixelsHigh);
  if (total > (uint64_t{1} << 40)) return nullptr;
  std::shared_ptr<NSBitmapImageRep> rep(new (std::nothrow) NSBitmapImageRep());
  if (!rep) return nullptr;
  try {
    rep->pixels_.assign(static_cast<size_t>(total), 0);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  rep->wide_ = pixelsWide;
  rep->high_ = pixelsHigh;
  rep->row_bytes_ = bytesPerRow;
  rep->samples_ = samplesPerPixel;
  rep->alpha_ = hasAlpha;
  return rep;
}

unsigned char* NSBitmapImageRep::bitmapData() {
  if (take_failure(g_fail_data)) return nullptr;
  return pixels_.data();
}

std::shared_ptr<NSImage> NSImage::initWithSize(NSSize size) {
  auto image = std::make_shared<NSImage>();
  image->size_ = size;
  return image;
}

void NSImage::addRepresentation(std::shared_ptr<NSBitmapImageRep> rep) {
  if (rep) reps_.push_back(std::move(rep));
}

std::shared_ptr<NSImageView> NSImageView::initWithFrame(NSRect frame) {
  return std::shared_ptr<NSImageView>(new NSImageView(frame));
}

NSImageView::NSImageView(NSRect frame) : NSView(frame) {
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  id_ = r.next_id++;
  ++r.totals.views_created;
  ShownImage shown;
  shown.view_id = id_;
  shown.frame = frame;
  r.views.push_back(std::move(shown));
}

NSImageView::~NSImageView() {
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  for (size_t i = 0; i < r.views.size(); ++i) {
    if (r.views[i].view_id == id_) {
      r.views.erase(r.views.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
}

void NSImageView::setFrame(NSRect frame) {
  NSView::setFrame(frame);
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  if (ShownImage* v = find_locked(r, id_)) v->frame = frame;
}

void NSImageView::setImage(std::shared_ptr<NSImage> image) {
  image_ = std::move(image);
  const NSBitmapImageRep* rep =
      image_ && !image_->representations().empty() ? image_->representations().front().get() : nullptr;
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  ShownImage* v = find_locked(r, id_);
  if (v == nullptr) return;
  if (image_) ++v->images_set;
  v->pixels_wide = rep ? rep->pixelsWide() : 0;
  v->pixels_high = rep ? rep->pixelsHigh() : 0;
  if (image_) {
    ++r.totals.images_set;
    r.totals.last_pixels_wide = v->pixels_wide;
    r.totals.last_pixels_high = v->pixels_high;
  }
  // assign() reuses the copy's storage: showing frames of one size does not
  // allocate once the first has been shown.
  if (rep) {
    v->pixels.assign(rep->pixels().begin(), rep->pixels().end());
  } else {
    v->pixels.clear();
  }
}

std::vector<ShownImage> shown_images() {
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  return r.views;
}

std::optional<ShownImage> shown_image(uint64_t view_id) {
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  if (const ShownImage* v = find_locked(r, view_id)) return *v;
  return std::nullopt;
}

DisplayTotals display_totals() {
  DisplayRecord& r = record();
  std::lock_guard lock(r.mutex);
  return r.totals;
}

void fail_next_bitmap_creations(uint32_t count) { g_fail_creations.store(count, std::memory_order_relaxed); }
void fail_next_bitmap_data(uint32_t count) { g_fail_data.store(count, std::memory_order_relaxed); }

}  // namespace platform
