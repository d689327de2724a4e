// Per-frame read tries of a file-mode batch. A frame file that cannot be read
// or decoded stays where it is and is offered to the decoders again each time
// the discovery finds it, until 120 reads failed: then the frame is given up
// (one ERROR line) and left to a later batch. A delivered frame is recorded
// with 0 tries and is never handed over again.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <set>

#include "pool/range_frames.h"

namespace vel {

// Frame index → failed reads; 0 once the frame was delivered.
using FrameTries = std::map<int64_t, uint32_t>;

inline constexpr uint32_t kFrameReadTries = 120;
// At most this many frame files are handed to the decoders per call.
inline constexpr size_t kFramesHandedPerCall = 32;

enum class FailedRead : uint8_t {
  Counted,           // one more failure, below the limit: the file is read again later
  GivenUp,           // this failure reached 120: logged now, once
  BeyondLimit,       // the frame was given up already
  AlreadyDelivered,  // a late failure of a frame delivered meanwhile: it stays delivered
};

// A message without pixels for `frame`. Counts the failure (saturating) and
// logs "pool: frame {} illisible après 120 essais" at ERROR on exactly the
// 120th; a frame recorded as delivered keeps its 0.
FailedRead note_failed_read(FrameTries& tries, int64_t frame);

// A frame that reached the cache (or could not, having no host time).
// Workers deliver in frame order, so the newest frame usually goes at the
// end of the map: hinted there, it costs no walk down a batch-sized tree.
inline void note_delivered(FrameTries& tries, int64_t frame) {
  if (tries.empty() || std::prev(tries.end())->first < frame) {
    tries.emplace_hint(tries.end(), frame, 0u);
  } else {
    tries[frame] = 0;
  }
}

// Whether a discovered frame file goes to the decoders now: not while the
// frame is with them, not once it was delivered or given up, and not when
// its host time does not fit in 32 bits.
bool frame_file_wanted(const FrameTries& tries, const std::set<int64_t>& handed, int64_t frame,
                       const BatchTimeBase& time);

}  // namespace vel
