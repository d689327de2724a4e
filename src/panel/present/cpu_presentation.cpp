#include "panel/present/cpu_presentation.h"

#include "cache/memory_pressure.h"
#include "panel/present/cpu_present_worker.h"
#include "panel/present/present_telemetry.h"
#include "platform/appkit_image.h"

namespace vel {

CpuPresentation::CpuPresentation(std::shared_ptr<platform::NSImageView> view, bool use_worker,
                                 std::function<void()> on_result)
    : view_(std::move(view)) {
  if (!use_worker) return;
  auto mailbox = std::make_shared<PresenterMailbox>();
  if (!on_result) on_result = &present_worker_wake_host;
  CpuPresentWorker worker{mailbox, false, std::move(on_result), nullptr};
  if (start_cpu_present_worker(std::move(worker))) mailbox_ = std::move(mailbox);
}

CpuPresentation::~CpuPresentation() {
  if (mailbox_) {
    clear_presenter_mailbox(*mailbox_, submission_);
    stop_presenter(*mailbox_);
  }
  if (view_) view_->setImage(nullptr);
}

void CpuPresentation::recount() {
  counted_.recount(saturating_sum(output_.capacity(), scratch_.counted_bytes()));
}

bool CpuPresentation::show_prepared(const RgbaFrame& source, const PresentRequest& request, const uint8_t* pixels,
                                    size_t length, uint32_t width, uint32_t height) {
  ++presenting_;
  const bool shown = present_bitmap_cpu(*view_, pixels, length, width, height, false, &bitmaps_);
  --presenting_;
  if (!shown) return false;
  PresentEvent ev;
  ev.backend = "appkit";
  ev.kind = kEventPresented;
  ev.request = request;
  ev.target_time = ev.request.time;
  ev.detail = view_fit_detail(source.width, width, picture_px_.width);
  ev.shown_width = width;
  record_present_event(source, ev);
  return true;
}

bool CpuPresentation::show_frame(const RgbaFrame& frame) {
  if (presenting_ > 0) return false;
  if (mailbox_) return submit_to_presenter(*mailbox_, submission_, frame, picture_px_.width, picture_px_.height);
  auto img = prepare_present_pixels(frame.pixels.data(), frame.pixels.size(), frame.width, frame.height,
                                    picture_px_.width, picture_px_.height, scratch_, memory_pressure_percent());
  if (!img) return false;
  const size_t n = static_cast<size_t>(img->width) * img->height * 4;
  const bool flat = reserve_present_buffer(output_, n) &&
                    flatten_on_checkerboard(img->pixels, img->length, img->width, img->height,
                                            checker_cell(img->width, picture_px_.width), false, output_.data(),
                                            output_.size());
  recount();
  if (!flat) return false;
  return show_prepared(frame, read_present_request(), output_.data(), output_.size(), img->width, img->height);
}

bool CpuPresentation::represent_retained_frame() {
  if (!mailbox_ || presenting_ > 0) return false;
  // Never a frame a stop dropped: that one is neither on its way nor on
  // screen, and showing it would put up a frame the panel does not keep.
  const std::optional<SizedFrame>& again = submission_.on_its_way ? submission_.on_its_way : submission_.on_screen;
  if (again && (again->target_width != picture_px_.width || again->target_height != picture_px_.height)) {
    const RgbaFrame frame = again->frame;
    submit_to_presenter(*mailbox_, submission_, frame, picture_px_.width, picture_px_.height);
  }
  if (const auto& way = submission_.on_its_way) {
    std::lock_guard lock(mailbox_->mutex);
    if (mailbox_->retry_at_ms && *mailbox_->retry_at_ms <= monotonic_ms() && !mailbox_->job) {
      mailbox_->retry_at_ms.reset();
      mailbox_->job =
          PresenterJob{read_present_request(), way->frame, mailbox_->generation, way->target_width, way->target_height};
      mailbox_->wake.notify_one();
    }
  }
  std::optional<PreparedFrame> done = take_prepared_frame(*mailbox_);
  if (!done) return false;
  const bool shown =
      show_prepared(done->job.frame, done->job.request, done->pixels.data(), done->pixels.size(), done->width, done->height);
  note_picture(submission_, done->job, shown);
  return_output_buffer(*mailbox_, std::move(done->pixels));
  return shown;
}

void CpuPresentation::invalidate() {
  if (mailbox_) clear_presenter_mailbox(*mailbox_, submission_);
}

void CpuPresentation::blank() {
  invalidate();
  submission_.on_screen.reset();
  view_->setImage(nullptr);
}

}  // namespace vel
