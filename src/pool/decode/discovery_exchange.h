// The supervision's side of a file-mode batch's output discovery: one scan
// request in flight at a time, sent with the playhead whenever none is
// waiting, and its report taken without blocking. A report with nothing
// fresh paces the next scan: no sooner than kQuietScanPace after its own
// began, so that files already reported and not ready are not listed again
// at every tick of a busy host. The handle's `waiting`, `pending_since`,
// `next_scan_at` and `counter` (requests sent) record the exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "pool/decode/output_discovery.h"

namespace vel {

inline constexpr std::chrono::milliseconds kQuietScanPace{10};

// Whether a scan may be asked at `now`: none waits, and the pace allows.
bool discovery_scan_wanted(const DiscoveryHandle& handle, std::chrono::steady_clock::time_point now);

// Sends a scan request when one is wanted, with the frames not wanted
// now (`waits`, any order); true when one was sent. A worker that is gone
// (or a full request channel) leaves nothing waiting.
bool request_discovery(DiscoveryHandle& handle, std::optional<int64_t> playhead,
                       std::chrono::steady_clock::time_point now, std::vector<FrameWait> waits = {});

// The report of the request in flight, when it has come; nothing while it
// is awaited or when none is. A worker that is gone ends the wait.
std::optional<DiscoveryReport> try_recv_discovery(DiscoveryHandle& handle);

}  // namespace vel
