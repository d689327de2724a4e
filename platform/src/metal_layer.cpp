// CAMetalLayer and its drawables: a pool of three, and the on-screen
// contents that the stand-in host draws from.
#include <condition_variable>
#include <cstring>

#include "metal_state.h"

namespace platform {

using namespace metal_state;

inline constexpr int64_t kDrawablePool = 3;

struct LayerScreen {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  CGSize drawable_size{1, 1};
  int64_t out = 0;               // drawables holding a pool slot
  bool screen_holds_slot = false;  // the shown drawable's slot, until replaced
  LayerContents contents;
};

CAMetalLayer::CAMetalLayer() : screen_(std::make_shared<LayerScreen>()) {}

std::shared_ptr<CAMetalLayer> CAMetalLayer::layer() { return std::shared_ptr<CAMetalLayer>(new CAMetalLayer()); }

CGSize CAMetalLayer::drawableSize() const {
  std::lock_guard lock(screen_->mutex);
  return screen_->drawable_size;
}

void CAMetalLayer::setDrawableSize(CGSize size) {
  std::lock_guard lock(screen_->mutex);
  screen_->drawable_size = size;
}

std::shared_ptr<CAMetalDrawable> CAMetalLayer::nextDrawable() {
  if (take_creation_failure(MetalCreation::next_drawable)) return nullptr;
  uint64_t w, h;
  {
    std::lock_guard lock(screen_->mutex);
    if (screen_->out >= kDrawablePool) return nullptr;
    auto side = [](double v) { return v >= 1.0 && v <= double(kMTLMaxTextureSide) ? static_cast<uint64_t>(v) : 1; };
    w = side(screen_->drawable_size.width);
    h = side(screen_->drawable_size.height);
    ++screen_->out;
  }
  auto d = std::shared_ptr<CAMetalDrawable>(new CAMetalDrawable());
  d->screen_ = screen_;
  d->shown_ = false;
  d->texture_ = make_drawable_texture(w, h);
  count_live(kDrawable, 1);
  autorelease(d);
  return d;
}

CAMetalDrawable::~CAMetalDrawable() {
  count_live(kDrawable, -1);
  std::lock_guard lock(screen_->mutex);
  if (!shown_) {
    --screen_->out;
    screen_->changed.notify_all();
  }
}

bool CAMetalDrawable::claim_present() {
  if (presented_.exchange(true)) {
    record_misuse("present: drawable presented twice");
    return false;
  }
  return true;
}

void CAMetalDrawable::present() {
  if (!claim_present()) return;
  // Presented by hand once its command buffer ended: shown as that buffer
  // filled it (nothing copied when it ran nothing).
  show(texture_->written());
  switch (texture_->fill()) {
    case MTLTexture::Fill::drawn:
      count_present(kPresentDrawn);
      break;
    case MTLTexture::Fill::blitted:
      count_present(kPresentBlitted);
      break;
    case MTLTexture::Fill::cleared:
      count_present(kPresentCleared);
      break;
    default:
      count_present(kPresentDirect);
      break;
  }
}

void CAMetalDrawable::addPresentedHandler(std::function<void()> handler) {
  if (presented_.load(std::memory_order_acquire)) {
    record_misuse("addPresentedHandler: drawable already presented");
    return;
  }
  if (handler) presented_handlers_.push_back(std::move(handler));
}

void CAMetalDrawable::show(bool copy_pixels) {
  show_on_screen(copy_pixels);
  for (auto& handler : presented_handlers_) handler();
  presented_handlers_.clear();
}

void CAMetalDrawable::show_on_screen(bool copy_pixels) {
  LayerScreen& s = *screen_;
  const TextureLevel& bytes = texture_->levelBytes(0);
  std::lock_guard lock(s.mutex);
  if (copy_pixels) {
    s.contents.width = texture_->width();
    s.contents.height = texture_->height();
    s.contents.bgra.assign(bytes.data(), bytes.data() + bytes.size());
  }
  ++s.contents.present_count;
  if (s.screen_holds_slot) --s.out;  // the drawable it replaces goes back to the pool
  s.screen_holds_slot = true;
  shown_ = true;
  s.changed.notify_all();
}

LayerContents CAMetalLayer::contents() const {
  std::lock_guard lock(screen_->mutex);
  return screen_->contents;
}

uint64_t CAMetalLayer::presentCount() const {
  std::lock_guard lock(screen_->mutex);
  return screen_->contents.present_count;
}

bool CAMetalLayer::waitForPresentCount(uint64_t count, const std::atomic<bool>* stop) const {
  std::unique_lock lock(screen_->mutex);
  screen_->changed.wait(lock, [&] {
    return screen_->contents.present_count >= count || (stop != nullptr && stop->load(std::memory_order_acquire));
  });
  return screen_->contents.present_count >= count;
}

void CAMetalLayer::wakeWaiters() const {
  std::lock_guard lock(screen_->mutex);
  screen_->changed.notify_all();
}

}  // namespace platform
