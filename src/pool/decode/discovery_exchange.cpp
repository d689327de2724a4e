#include "pool/decode/discovery_exchange.h"

namespace vel {

bool discovery_scan_wanted(const DiscoveryHandle& handle, std::chrono::steady_clock::time_point now) {
  return !handle.waiting && (!handle.next_scan_at || now >= *handle.next_scan_at);
}

bool request_discovery(DiscoveryHandle& handle, std::optional<int64_t> playhead,
                       std::chrono::steady_clock::time_point now, std::vector<FrameWait> waits) {
  if (!discovery_scan_wanted(handle, now)) return false;
  settle_frame_waits(waits);
  if (!handle.requests.try_send(DiscoveryRequest{playhead.has_value(), playhead.value_or(0), std::move(waits)}))
    return false;
  handle.waiting = true;
  handle.pending_since = now;
  ++handle.counter;
  return true;
}

std::optional<DiscoveryReport> try_recv_discovery(DiscoveryHandle& handle) {
  if (!handle.waiting) return std::nullopt;
  std::optional<DiscoveryReport> report;
  if (handle.reports.try_recv(report) == TryRecv::Empty) return std::nullopt;
  // A report, or a worker that will never answer: either way nothing waits.
  handle.waiting = false;
  handle.pending_since.reset();
  handle.next_scan_at.reset();
  if (report && !report->fresh) handle.next_scan_at = report->scan_started + kQuietScanPace;
  return report;
}

}  // namespace vel
