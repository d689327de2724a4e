#include "pool/decode/frame_file_handoff.h"

#include <algorithm>

namespace vel {

uint64_t decimation_factor(uint64_t output_ds, uint64_t file_ds) {
  return std::max<uint64_t>(1, std::max<uint64_t>(1, output_ds) / std::max<uint64_t>(1, file_ds));
}

double frame_time_seconds(int64_t frame, const BatchTimeBase& time) {
  const double scale = time.scale == 0 ? 1.0 : static_cast<double>(time.scale);
  return static_cast<double>(frame) * static_cast<double>(time.step) / scale;
}

size_t hand_frame_files(std::deque<DiscoveredFile>& pending, DeliveryLedger& ledger, const BatchTimeBase& time,
                        uint64_t decimation, const FrameOwnerTest& owned, const DecodeJobSend& send,
                        DiscoveryTimes& times, const std::optional<FrameDimensions>& requested, uint64_t now_ns) {
  size_t sent = 0;
  for (size_t looked = 0; looked < kFramesHandedPerCall && !pending.empty(); ++looked) {
    DiscoveredFile file = std::move(pending.front());
    pending.pop_front();
    if (!frame_file_wanted(ledger.tries, ledger.handed, file.frame, time, now_ns) || !owned(file.worker, file.frame)) continue;
    // Its first try: no read of this frame has failed yet.
    const bool first_try = !ledger.tries.count(file.frame);
    if (!send(DecodeJob{file.path, file.frame, frame_time_seconds(file.frame, time), decimation, requested, file.folder,
                       file.name, ledger.tries.undecodable_file(file.frame)})) {
      pending.push_front(std::move(file));
      break;
    }
    ++sent;
    ledger.handed.insert(file.frame);
    if (first_try && file.age_known) {
      times.ms_sum += file.age_ms;
      times.ms_max = std::max(times.ms_max, file.age_ms);
      ++times.count;
    }
  }
  return sent;
}

}  // namespace vel
