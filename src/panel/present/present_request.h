// The present request slot and the present tracker: process-wide
// bookkeeping that ties what the preview asks to show to what the panel
// actually showed. Any thread may use them; each sits under its own mutex
// and no operation holds both locks at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace vel {

// The frame the panel should show now. Copied by value everywhere.
struct PresentRequest {
  std::optional<double> time;  // seconds; only a finite value is kept
  uint64_t item = 0;           // host item id of the composition
  uint64_t seq = 0;            // 0 only in the initial slot
  friend bool operator==(const PresentRequest&, const PresentRequest&) = default;
};

struct PresentationMark {
  PresentRequest request;
  uint64_t present_no = 0;
  double frame_time = 0.0;
};

struct Presented {
  uint64_t present_no = 0;
  double frame_time = 0.0;
  friend bool operator==(const Presented&, const Presented&) = default;
};

// The slot naming the wanted frame. `seq` comes from one process-wide
// counter shared by every slot, so requests are ordered across the process.
class PresentSlot {
 public:
  // Stores {time when valid and finite, item, next seq}; the caller then
  // clears the tracker's awaited request (begin_present_request does both).
  PresentRequest open(uint64_t item, bool valid, double time);
  // Same item and an opened slot: replaces only the time. Otherwise none.
  std::optional<PresentRequest> refresh(uint64_t item, bool valid, double time);
  PresentRequest read() const;

 private:
  mutable std::mutex mutex_;
  PresentRequest slot_;
};

// The last presentation per request and the one the playback clock awaits.
class PresentTracker {
 public:
  void clear_awaited();
  void await(const PresentRequest& request, double frame_time);
  std::optional<Presented> presented_for(const PresentRequest& request) const;
  // Once per await and match: the confirmed presentation of the awaited
  // request at `frame_time` (within a microsecond).
  std::optional<Presented> take_awaited(const PresentRequest& request, double frame_time);
  // A frame was presented for `request` (telemetry kind 2).
  void note_presented(const PresentRequest& request, double frame_time);
  uint64_t present_count() const;

 private:
  mutable std::mutex mutex_;
  std::optional<PresentationMark> last_presented_;
  std::optional<PresentRequest> awaited_;
  double awaited_time_ = 0.0;
  std::optional<PresentationMark> matched_;
  uint64_t present_count_ = 0;
};

// The process-wide pair (never destroyed).
PresentSlot& present_slot();
PresentTracker& present_tracker();

// Opens a new request in the process slot and clears the awaited request.
PresentRequest begin_present_request(uint64_t item, bool valid, double time);
// Keeps `seq` for the same item; otherwise opens a new request.
PresentRequest refresh_present_request(uint64_t item, bool valid, double time);
PresentRequest read_present_request();
void await_present_request(const PresentRequest& request, double frame_time);
std::optional<Presented> presented_for_request(const PresentRequest& request);
std::optional<Presented> take_awaited_presentation(const PresentRequest& request, double frame_time);

// Milliseconds since the process-wide start instant, taken on first use: the
// time base of every presentation stamp.
double monotonic_ms();

}  // namespace vel
