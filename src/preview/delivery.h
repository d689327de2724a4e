// The delivery decision: who produces the frames the preview is missing.
// A pure function of what the controller knows this tick, so it can be
// reasoned about (and tested) apart from the host. Today only in-process
// renders exist; the raster renderer and the pool join once they are built
// (their inputs stay false until then).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vel {

enum class Producer { None, Raster, InProcessSync, InProcessAsync, Pool };

struct DeliveryInputs {
  bool has_comp = false;         // a pinned composition with usable timing
  bool modal = false;            // the host shows a modal window
  bool edit_quiet = true;        // edit_quiet_elapsed
  uint64_t missing_frames = 0;   // frames of the work area not cached nor pending
  uint64_t renders_in_flight = 0;  // asynchronous requests the host has not answered yet
  bool current_missing = false;  // the playhead's frame is one of them
  bool async_available = false;  // switch on and the async manager present
  bool raster_ready = false;     // raster renderer holds this composition
  bool pool_ready = false;       // pool may launch for this composition
  bool pool_engaged = false;     // pool on and admitted for it: a batch runs or the next one follows
  bool pool_gave_up = false;     // the next missing frame is one the running batch gave up
  bool async_stalled = false;    // measured asynchronous delivery stopped with requests waiting
};

struct DeliveryDecision {
  Producer producer = Producer::None;
  bool use_pool = false;
  std::string_view reason;
  friend bool operator==(const DeliveryDecision&, const DeliveryDecision&) = default;
};

DeliveryDecision decide_delivery(const DeliveryInputs& in);

// "DELIVERY use_pool=<true|false> reason=<reason>".
std::string delivery_perf_line(const DeliveryDecision& d);

const char* producer_name(Producer p);

}  // namespace vel
