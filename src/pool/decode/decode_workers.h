// The decoder threads of a file-mode batch, "velocinta-decode-" plus an
// index: each takes frame files from the batch's shared job queue, has them
// ingested, deletes a file once it gave a frame, and hands the outcome to the
// batch's frame channel. A file is read and removed only in the worker folder
// the discovery opened, never through a link (frame_folder.h). A decoder
// never outlives its batch: it ends when the
// batch's stop flag rises (also while it waits for room on the frame
// channel), when the job queue closes, or when the frame channel is dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "pool/batch/pool_frame_delivery.h"
#include "pool/bounded_channel.h"
#include "pool/decode/frame_folder.h"
#include "pool/runtime/job_dir_guard.h"

namespace vel {

struct DecodeJob {
  std::filesystem::path path;
  int64_t frame = 0;
  double time_s = 0.0;
  uint64_t decimation_factor = 1;  // 1 keeps the full size
  std::optional<FrameDimensions> requested_size;  // the batch's frame size; a file of another is refused
  // The worker folder the discovery found the file in, and its name there:
  // the file is read and removed through the folder's descriptor. Without
  // one (a caller that names a file itself), the path is used as it stands.
  std::shared_ptr<const FrameFolder> folder;
  std::string name;
  // The file as it stood when an earlier try of the frame found it giving
  // no frame: standing so still, it is not read again.
  std::optional<FileChangeStamp> undecodable;
};

using DecodeJobReceiver = ChannelReceiver<DecodeJob>;

// How one job's file is ingested; ingest_frame_file with the process's
// switches unless a caller (tests) says otherwise.
using FrameFileIngest = std::function<DecodedOutput(const DecodeJob&)>;

struct DecodeWorkerContext {
  FrameSender frames;
  std::chrono::steady_clock::time_point batch_start;
  SharedJobDir job_dir;
  std::shared_ptr<std::atomic<bool>> stop;
  DecodeJobReceiver jobs;  // every decoder of the batch holds a copy of the one queue
  bool keep_frame_files = false;
  FrameFileIngest ingest;  // empty: ingest_frame_file
};

// How long a decoder waiting for room on the frame channel sleeps between
// looks at the stop flag.
inline constexpr std::chrono::milliseconds kDecoderSendStep{20};

// The thread body; consumes the context. Logs nothing.
void decode_worker_loop(DecodeWorkerContext context);

// Starts `count` batch threads (the quit joins them) named
// "velocinta-decode-0" onwards, each with a copy of `context`. A thread that
// cannot start is logged ("pool: decoder unavailable: ..."); answers how many
// started.
size_t start_decode_workers(size_t count, const DecodeWorkerContext& context);

// The number of decoders for a batch: 1 on machines with fewer than 5
// hardware threads; otherwise min(threads / 5, threads − 2, frames the memory
// budget holds less 2 over 3, 8), at least 1. `downsample` d sizes a frame as
// ceil(w / d) × ceil(h / d) × 4 (32 MiB when the size is unknown).
uint64_t decoder_thread_count(std::optional<uint64_t> physical_bytes, std::optional<uint32_t> hardware_threads,
                              uint64_t pressure_percent, std::optional<uint32_t> width,
                              std::optional<uint32_t> height, uint64_t downsample);

}  // namespace vel
