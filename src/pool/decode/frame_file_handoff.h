// Handing a file-mode batch's discovered frame files to its decoders, at
// most 32 a call: a file whose frame is with the decoders, delivered, given
// up, without a 32-bit host time or outside its worker's range is dropped;
// a full job queue puts the file back at the front for the next call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "pool/batch/delivery_ledger.h"
#include "pool/decode/decode_workers.h"
#include "pool/decode/output_discovery.h"
#include "pool/schedule/range_frames.h"

namespace vel {

// How fast files were found after their worker wrote them, over the files
// handed on their first try.
struct DiscoveryTimes {
  double ms_sum = 0.0;
  double ms_max = 0.0;
  uint64_t count = 0;
};

// The scale-down of delivered frames: the preview's downsample over the
// workers' (integer division), at least 1.
uint64_t decimation_factor(uint64_t output_ds, uint64_t file_ds);

// A frame's time in seconds for its decoder: frame × step / scale, a scale
// of 0 counting as 1.
double frame_time_seconds(int64_t frame, const BatchTimeBase& time);

// Sends the DecodeJob; false when the queue cannot take it now.
using DecodeJobSend = std::function<bool(DecodeJob)>;

// Whether the file's worker was given the file's frame.
using FrameOwnerTest = std::function<bool(std::optional<uint64_t> worker, int64_t frame)>;

// Takes up to 32 files from the front of `pending`. A file whose frame its
// worker was not given is dropped unread, like an unwanted one. Each sent
// frame joins `ledger.handed`; a first try of a frame that never failed a
// read adds its file age to `times`. Answers how many were sent.
// Each job carries `requested`, the size of the batch's frames, and the
// file the frame's last try found giving no frame, if any. A frame
// whose retry is not due at `now_ns` (monotonic) is dropped like an
// unwanted one: the next scan finds its file again.
size_t hand_frame_files(std::deque<DiscoveredFile>& pending, DeliveryLedger& ledger, const BatchTimeBase& time,
                        uint64_t decimation, const FrameOwnerTest& owned, const DecodeJobSend& send,
                        DiscoveryTimes& times, const std::optional<FrameDimensions>& requested = std::nullopt,
                        uint64_t now_ns = UINT64_MAX);

}  // namespace vel
