// The link between the frame cache and its pack worker ("velocinta-pack"):
// a job channel the main thread sends to without waiting and a result
// channel it polls once per tick. At most one job is in flight; its bytes
// (the raw pixels it pins plus the compression buffer) are accounted as
// memory held outside the cache until the result is taken.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "cache/frame_key.h"
#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

struct PackJob {
  FrameKey key;
  RgbaFrame frame;  // a new reference to the raw pixels, never a copy
};

struct PackResult {
  FrameKey key;
  PixelPayload pixels;          // the very payload that was sent
  std::vector<uint8_t> packed;  // u32 LE raw length + one LZ4 block; empty when packing failed
};

// Shared by the cache side and the worker.
struct PackChannel {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<PackJob> jobs;
  std::deque<PackResult> results;
  bool closed = false;       // no more jobs: the cache let go or the worker is stopped
  bool worker_gone = false;  // the worker left its loop
};

// Closes the channel (the worker ends after its current job).
void close_pack_channel(PackChannel& channel);

// The cache's end. Dropping it closes the job channel.
struct PackLink {
  std::shared_ptr<PackChannel> channel;
  bool job_in_flight = false;
  uint64_t bytes_in_flight = 0;

  PackLink() = default;
  explicit PackLink(std::shared_ptr<PackChannel> c) : channel(std::move(c)) {}
  PackLink(PackLink&& o) noexcept = default;
  PackLink& operator=(PackLink&& o) noexcept {
    if (this != &o) {
      if (channel) close_pack_channel(*channel);
      channel = std::move(o.channel);
      job_in_flight = o.job_in_flight;
      bytes_in_flight = o.bytes_in_flight;
    }
    return *this;
  }
  PackLink(const PackLink&) = delete;
  PackLink& operator=(const PackLink&) = delete;
  ~PackLink() {
    if (channel) close_pack_channel(*channel);
  }
};

}  // namespace vel
