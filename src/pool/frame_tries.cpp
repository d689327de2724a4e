#include "pool/frame_tries.h"

#include <string>

#include "core/log.h"

namespace vel {

FailedRead note_failed_read(FrameTries& tries, int64_t frame) {
  auto [it, fresh] = tries.try_emplace(frame, 0);
  if (!fresh && it->second == 0) return FailedRead::AlreadyDelivered;
  if (it->second >= kFrameReadTries) {
    if (it->second < UINT32_MAX) ++it->second;
    return FailedRead::BeyondLimit;
  }
  ++it->second;
  if (it->second < kFrameReadTries) return FailedRead::Counted;
  log_line("ERROR", "pool: frame " + std::to_string(frame) + " illisible après " + std::to_string(kFrameReadTries) +
                        " essais");
  return FailedRead::GivenUp;
}

bool frame_file_wanted(const FrameTries& tries, const std::set<int64_t>& handed, int64_t frame,
                       const BatchTimeBase& time) {
  if (handed.count(frame)) return false;
  if (auto it = tries.find(frame); it != tries.end() && (it->second == 0 || it->second >= kFrameReadTries)) {
    return false;
  }
  return batch_frame_key(time, frame).has_value();
}

}  // namespace vel
