#include "panel/present/present_request.h"

#include <atomic>
#include <chrono>
#include <cmath>

namespace vel {
namespace {

std::atomic<uint64_t> g_request_seq{0};

bool times_match(double a, double b) { return std::isfinite(a) && std::isfinite(b) && std::fabs(a - b) <= 1e-6; }

std::optional<double> usable_time(bool valid, double time) {
  if (valid && std::isfinite(time)) return time;
  return std::nullopt;
}

}  // namespace

PresentRequest PresentSlot::open(uint64_t item, bool valid, double time) {
  PresentRequest r{usable_time(valid, time), item, g_request_seq.fetch_add(1, std::memory_order_relaxed) + 1};
  std::lock_guard lock(mutex_);
  slot_ = r;
  return r;
}

std::optional<PresentRequest> PresentSlot::refresh(uint64_t item, bool valid, double time) {
  std::lock_guard lock(mutex_);
  if (slot_.item != item || slot_.seq == 0) return std::nullopt;
  slot_.time = usable_time(valid, time);
  return slot_;
}

PresentRequest PresentSlot::read() const {
  std::lock_guard lock(mutex_);
  return slot_;
}

void PresentTracker::clear_awaited() {
  std::lock_guard lock(mutex_);
  awaited_.reset();
}

void PresentTracker::await(const PresentRequest& request, double frame_time) {
  std::lock_guard lock(mutex_);
  if (request.seq != 0 && std::isfinite(frame_time)) {
    awaited_ = request;
  } else {
    awaited_.reset();
  }
  matched_.reset();
  awaited_time_ = frame_time;
}

std::optional<Presented> PresentTracker::presented_for(const PresentRequest& request) const {
  std::lock_guard lock(mutex_);
  if (!last_presented_ || request.seq == 0) return std::nullopt;
  const PresentRequest& r = last_presented_->request;
  if (r.item != request.item || r.seq != request.seq) return std::nullopt;
  return Presented{last_presented_->present_no, last_presented_->frame_time};
}

std::optional<Presented> PresentTracker::take_awaited(const PresentRequest& request, double frame_time) {
  std::lock_guard lock(mutex_);
  if (!awaited_ || request.seq == 0 || awaited_->seq != request.seq || awaited_->item != request.item) {
    return std::nullopt;
  }
  if (!times_match(frame_time, awaited_time_) || !matched_) return std::nullopt;
  awaited_.reset();
  return Presented{matched_->present_no, matched_->frame_time};
}

void PresentTracker::note_presented(const PresentRequest& request, double frame_time) {
  if (!std::isfinite(frame_time) || request.seq == 0) return;
  std::lock_guard lock(mutex_);
  // An older request's presentation never replaces a newer one.
  if (!last_presented_ || last_presented_->request.seq <= request.seq) {
    if (present_count_ == UINT64_MAX) return;
    ++present_count_;
    last_presented_ = PresentationMark{request, present_count_, frame_time};
  }
  if (awaited_ && !matched_ && awaited_->item == request.item && awaited_->seq == request.seq &&
      times_match(awaited_time_, frame_time) && last_presented_->request.seq == request.seq) {
    matched_ = last_presented_;
  }
}

uint64_t PresentTracker::present_count() const {
  std::lock_guard lock(mutex_);
  return present_count_;
}

PresentSlot& present_slot() {
  static PresentSlot& s = *new PresentSlot();
  return s;
}

PresentTracker& present_tracker() {
  static PresentTracker& t = *new PresentTracker();
  return t;
}

PresentRequest begin_present_request(uint64_t item, bool valid, double time) {
  PresentRequest r = present_slot().open(item, valid, time);
  present_tracker().clear_awaited();
  return r;
}

PresentRequest refresh_present_request(uint64_t item, bool valid, double time) {
  if (auto r = present_slot().refresh(item, valid, time)) return *r;
  return begin_present_request(item, valid, time);
}

PresentRequest read_present_request() { return present_slot().read(); }

void await_present_request(const PresentRequest& request, double frame_time) {
  present_tracker().await(request, frame_time);
}

std::optional<Presented> presented_for_request(const PresentRequest& request) {
  return present_tracker().presented_for(request);
}

std::optional<Presented> take_awaited_presentation(const PresentRequest& request, double frame_time) {
  return present_tracker().take_awaited(request, frame_time);
}

double monotonic_ms() {
  using Clock = std::chrono::steady_clock;
  static const Clock::time_point start = Clock::now();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace vel
