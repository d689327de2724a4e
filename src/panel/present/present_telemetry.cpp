#include "panel/present/present_telemetry.h"

#include <algorithm>
#include <cmath>

namespace vel {

void TelemetryRing::push(const PresentTelemetry& record) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    drops_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (records_.size() >= kTelemetryCapacity) {
    records_.pop_front();
    drops_.fetch_add(1, std::memory_order_relaxed);
  }
  records_.push_back(record);
}

std::vector<PresentTelemetry> TelemetryRing::drain() {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return {};
  std::vector<PresentTelemetry> out(records_.begin(), records_.end());
  records_.clear();
  return out;
}

void TimingSampleRing::push(double ms) {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (samples_.size() >= kTelemetryCapacity) samples_.pop_front();
  samples_.push_back(ms);
}

std::vector<double> TimingSampleRing::drain() {
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return {};
  std::vector<double> out(samples_.begin(), samples_.end());
  samples_.clear();
  return out;
}

TelemetryRing& telemetry_ring() {
  static TelemetryRing& r = *new TelemetryRing();
  return r;
}

TimingSampleRing& timing_sample_ring() {
  static TimingSampleRing& r = *new TimingSampleRing();
  return r;
}

FitDetail view_fit_detail(uint32_t source_width, uint32_t prepared_width, uint32_t target_width) {
  FitDetail d;
  d.presented_width = std::min(prepared_width, source_width);
  d.target_width = target_width;
  if (source_width > prepared_width) {
    d.detail_reason = "viewport-fit";
  } else if (source_width < target_width) {
    d.detail_reason = "source-limited";
  } else {
    d.detail_reason = "native-detail";
  }
  const double ratio =
      static_cast<double>(std::max<uint32_t>(source_width, 1)) / std::max<uint32_t>(d.presented_width, 1);
  d.lod = std::max(0.0, std::log2(ratio));
  return d;
}

void record_present_event(const RgbaFrame& frame, const PresentEvent& event, TelemetryRing& ring,
                          PresentTracker& tracker) {
  PresentTelemetry r;
  r.request = event.request;
  if (event.target_time && std::isfinite(*event.target_time)) r.target_time = event.target_time;
  if (event.duration_ms && std::isfinite(*event.duration_ms) && *event.duration_ms >= 0.0) {
    r.duration_ms = event.duration_ms;
  }
  r.backend = event.backend;
  r.stamp_ms = monotonic_ms();
  r.frame_time = frame.time;
  r.frame_identity = frame.pixels.identity();
  r.detail = event.detail;
  r.width = frame.width;
  r.height = frame.height;
  r.shown_width = std::min(frame.width, event.shown_width);
  r.request_match =
      r.target_time && std::isfinite(r.frame_time) && std::fabs(*r.target_time - r.frame_time) <= 1e-6 ? 1 : 0;
  r.kind = event.kind;
  if (event.kind == kEventPresented) tracker.note_presented(event.request, frame.time);
  ring.push(r);
}

void record_present_event(const RgbaFrame& frame, const PresentEvent& event) {
  record_present_event(frame, event, telemetry_ring(), present_tracker());
}

void record_produced_frame(const RgbaFrame& frame, const char* backend, std::optional<double> duration_ms) {
  PresentEvent ev;
  ev.backend = backend;
  ev.kind = kEventProduced;
  ev.request = read_present_request();
  ev.target_time = ev.request.time;
  ev.duration_ms = duration_ms;
  record_present_event(frame, ev);
}

void record_clock_event(const PresentRequest& request, const char* backend, double clock_time, TelemetryRing& ring) {
  if (!std::isfinite(clock_time) || request.seq == 0) return;
  PresentTelemetry r;
  r.request = request;
  r.backend = backend;
  r.stamp_ms = monotonic_ms();
  r.frame_time = clock_time;
  r.kind = kEventClockMoved;
  ring.push(r);
}

void record_clock_event(const PresentRequest& request, const char* backend, double clock_time) {
  record_clock_event(request, backend, clock_time, telemetry_ring());
}

std::vector<PresentTelemetry> drain_present_telemetry() { return telemetry_ring().drain(); }
uint64_t present_telemetry_drop_count() { return telemetry_ring().drop_count(); }

void record_timing_sample(double since_ms) {
  const double elapsed = monotonic_ms() - since_ms;
  if (std::isfinite(elapsed)) timing_sample_ring().push(elapsed);
}

std::vector<double> drain_timing_samples() { return timing_sample_ring().drain(); }

}  // namespace vel
