// Present telemetry: one fixed-size record per presentation or clock event,
// kept in a process-wide ring of 2048 that the idle hook drains once per
// tick, and a ring of 2048 timing samples. Pushes only try the ring's lock:
// a busy lock loses the record (counted) rather than block a present worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "cache/rgba_frame.h"
#include "panel/present/present_request.h"

namespace vel {

inline constexpr size_t kTelemetryCapacity = 2048;

// Event codes.
enum PresentEventKind : uint8_t {
  kEventProduced = 0,         // a producer delivered a frame
  kEventPrepared = 1,         // the CPU present worker finished a preparation
  kEventPresented = 2,        // a frame was presented
  kEventGpuCompleted = 3,     // a GPU command buffer completed
  kEventGpuFailed = 4,        // ... or ended in error
  kEventClockMoved = 5,       // a playback clock moved the shown frame
  kEventClockReused = 6,      // a further clock event of the GPU presenter
};

// How a present fitted its frame to the view.
struct FitDetail {
  const char* detail_reason = "";  // "native-detail", "source-limited", "viewport-fit"
  double lod = 0.0;
  uint32_t presented_width = 0;
  uint32_t target_width = 0;
};

struct PresentTelemetry {
  PresentRequest request;
  std::optional<double> target_time;
  std::optional<double> duration_ms;
  const char* backend = "";
  double stamp_ms = 0.0;
  double frame_time = 0.0;
  uint64_t frame_identity = 0;
  std::optional<FitDetail> detail;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t shown_width = 0;
  uint8_t request_match = 0;
  uint8_t kind = 0;
};

// A bounded ring of records with its drop count.
class TelemetryRing {
 public:
  void push(const PresentTelemetry& record);
  std::vector<PresentTelemetry> drain();
  uint64_t drop_count() const { return drops_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::deque<PresentTelemetry> records_;
  std::atomic<uint64_t> drops_{0};
};

// A bounded ring of durations in ms; losses are not counted.
class TimingSampleRing {
 public:
  void push(double ms);
  std::vector<double> drain();

 private:
  std::mutex mutex_;
  std::deque<double> samples_;
};

TelemetryRing& telemetry_ring();
TimingSampleRing& timing_sample_ring();

// The view-fit decision for a source of width `source_width` prepared at
// `prepared_width` for a view `target_width` pixels wide.
FitDetail view_fit_detail(uint32_t source_width, uint32_t prepared_width, uint32_t target_width);

struct PresentEvent {
  const char* backend = "";
  PresentRequest request;
  uint8_t kind = kEventPresented;
  std::optional<double> target_time;  // kept when finite
  std::optional<double> duration_ms;  // kept when finite and not negative
  std::optional<FitDetail> detail;
  uint32_t shown_width = 0;  // the width the emitter reports as shown
};

// Builds the record of `frame` (identity, time, size), stamps it and pushes
// it on the process ring; a kind 2 event first updates the process tracker.
void record_present_event(const RgbaFrame& frame, const PresentEvent& event);
// Same with the ring and tracker given (tests).
void record_present_event(const RgbaFrame& frame, const PresentEvent& event, TelemetryRing& ring,
                          PresentTracker& tracker);

// A frame a producer made (kind "produced"), aimed at the request the panel
// has open now; `duration_ms` is what producing it took, when known.
void record_produced_frame(const RgbaFrame& frame, const char* backend,
                           std::optional<double> duration_ms = std::nullopt);

// A clock event (kind 5): pushed only for a finite time and an opened request.
void record_clock_event(const PresentRequest& request, const char* backend, double clock_time);
void record_clock_event(const PresentRequest& request, const char* backend, double clock_time, TelemetryRing& ring);

std::vector<PresentTelemetry> drain_present_telemetry();
uint64_t present_telemetry_drop_count();
void record_timing_sample(double since_ms);
std::vector<double> drain_timing_samples();

}  // namespace vel
