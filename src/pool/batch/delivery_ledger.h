// The batch's account of every message taken from its frame channel: null
// output callbacks, failed reads (with their tries), frames without a host
// time, and frames delivered, with the counters the scheduler and the end
// report read. One message is booked at a time, on the main thread; the
// caller hands booked frames to the cache and acts on a change of size.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "pool/batch/frame_tries.h"
#include "pool/batch/pool_frame_delivery.h"
#include "pool/schedule/range_frames.h"

namespace vel {

struct DeliveryLedger {
  FrameTries tries;               // failed reads; 0 once delivered
  std::set<int64_t> handed;       // frames whose file is with the decoders
  std::set<int64_t> null_frames;  // frames that came as null output
  uint64_t delivered = 0;
  uint64_t useful_frames = 0;
  uint64_t cohort_frames = 0;  // delivered by a worker still running
  std::optional<std::pair<uint32_t, uint32_t>> last_frame_size;
  uint64_t foreign_frames = 0;                  // refused for their size
  std::optional<FrameDimensions> foreign_size;  // the size of the first of them
};

enum class DeliveryKind : uint8_t {
  NullOutput,  // a callback without pixels in null mode
  FailedRead,  // no pixels: counted in the frame's tries
  NoHostTime,  // its time does not fit in 32 bits: recorded, dropped
  ForeignSize,  // of another size than the batch asked for: counted, dropped
  Frame,       // delivered: return it to the caller with `key`
};

struct DeliveryBooking {
  DeliveryKind kind = DeliveryKind::FailedRead;
  std::optional<FrameKey> key;  // for a Frame
  bool size_changed = false;    // the scheduler restarts and the admission grant goes
  // Not already served: counted in useful_frames (and cohort_frames), and
  // the caller measures the worker's frame interval. The worker's frame
  // count rises for every Frame either way.
  bool useful = false;
  FailedRead failed = FailedRead::Counted;
};

// What is known of the delivering worker's job.
struct DeliveringJob {
  bool known = false;     // the message names a job of this batch
  bool finished = false;  // that job has exited or was killed
};

// Books one message. `already_served` is the pump's test that the cache
// holds the frame wide enough: such a frame is still returned, but it is
// not useful. `now_ns` (monotonic) times a failed read, for its next try.
DeliveryBooking book_delivery(DeliveryLedger& ledger, const PoolFrameDelivery& message, const BatchTimeBase& time,
                              bool already_served, DeliveringJob job, uint64_t now_ns = 0);

// The ERROR line of a batch that refused frames for their size, once per
// batch: "pool: lot arrêté — N image(s) d'une autre taille refusée(s)
// (WxH au lieu de WxH)".
std::string foreign_frames_text(uint64_t count, FrameDimensions found, FrameDimensions requested);

// The batch's time per frame after its first, for the delivery profile:
// max(0, (elapsed − first delivery) / (delivered − 1)); known from the third
// frame on, and only while the batch's timing describes one setting.
std::optional<double> batch_per_frame_ms(double elapsed_ms, std::optional<double> first_delivery_ms,
                                         uint64_t delivered, bool measure_valid);

}  // namespace vel
