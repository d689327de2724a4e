// PoolFrameDelivery: one frame handed from a pool worker thread (a decoder of
// frame files or a memory-output reader) to the batch supervision on the
// main thread, with the timings of how it got there.
#pragma once

#include <cstdint>
#include <optional>

#include "cache/rgba_frame.h"
#include "pool/bounded_channel.h"
#include "pool/decode/frame_ingest.h"

namespace vel {

// The file road: read and decode of one frame file.
struct FileFrameTimings {
  double read_ms = 0.0;
  double decode_ms = 0.0;
  uint64_t file_bytes = 0;
  FileDecodeOutcome outcome = FileDecodeOutcome::ReadFailed;
};

// The memory road: one frame taken from a shared-memory slot.
struct MemoryFrameTimings {
  std::optional<double> latency_ms;
  double slot_wait_ms = 0.0;
  double copy_ms = 0.0;
  double receive_ms = 0.0;
  double received_at_ms = 0.0;
  double decimate_ms = 0.0;
  uint64_t payload_bytes = 0;
};

struct PoolFrameDelivery {
  std::optional<uint64_t> worker;
  std::optional<MemoryFrameTimings> memory;
  std::optional<FileFrameTimings> file;
  int64_t frame = 0;
  std::optional<RgbaFrame> pixels;  // premultiplied RGBA8 after decimation; absent for a null output
  double decode_ms = 0.0;
  uint64_t file_bytes = 0;
  double handed_off_ms = 0.0;  // since the batch started, just before sending
  bool null_output = false;
  // A frame refused for its size, with the size it had: no pixels, and
  // nothing to read again.
  std::optional<FrameDimensions> foreign_size;
  // No pixels from a file that gives none as it stands: the frame's next
  // try hands it back, so that it is not read again unchanged.
  std::optional<FileChangeStamp> undecodable_file;
};

using FrameSender = ChannelSender<PoolFrameDelivery>;
using FrameReceiver = ChannelReceiver<PoolFrameDelivery>;

}  // namespace vel
