#include "pool/decode/decode_workers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <thread>

#include "core/log.h"
#include "core/process_flags.h"
#include "pool/batch/batch_threads.h"

namespace vel {

namespace {

bool stopped(const std::atomic<bool>& stop) { return stop.load(std::memory_order_acquire); }

double ms_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

PoolFrameDelivery delivery_of(const DecodeJob& job, DecodedOutput&& out) {
  PoolFrameDelivery d;
  d.worker = parse_worker_dir_name(job.path);
  d.file = FileFrameTimings{out.read_ms, out.decode_ms, out.file_bytes, out.outcome};
  d.frame = job.frame;
  d.pixels = std::move(out.frame);
  d.foreign_size = out.foreign_size;
  d.undecodable_file = out.undecodable;
  d.decode_ms = out.read_ms + out.decode_ms;
  d.file_bytes = out.file_bytes;
  return d;
}

DecodedOutput ingest(const DecodeJob& job) {
  if (!job.folder)
    return ingest_frame_file(job.path, job.time_s, job.decimation_factor, job.requested_size, job.undecodable);
  // A folder the worker swapped away since the discovery: what the name
  // gives now is none of the pool's.
  if (!still_in_job_folder(*job.folder)) return DecodedOutput{};
  return ingest_frame_file_at(job.folder->dir.get(), job.name, job.path, job.time_s, job.decimation_factor,
                              job.requested_size, job.undecodable);
}

// The file that was read, and nothing else, leaves its folder.
void remove_read_file(const DecodeJob& job, const FileChangeStamp& read) {
  if (job.folder) {
    (void)remove_frame_file(*job.folder, job.name, read);
    return;
  }
  struct stat st {};
  if (::lstat(job.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && same_file(change_stamp(st), read))
    (void)::unlink(job.path.c_str());
}

}  // namespace

void decode_worker_loop(DecodeWorkerContext context) {
  const std::atomic<bool>& stop = *context.stop;
  for (;;) {
    std::optional<DecodeJob> job = context.jobs.recv();
    if (!job || stopped(stop)) return;
    DecodedOutput out = context.ingest ? context.ingest(*job) : ingest(*job);
    if (stopped(stop)) return;  // the result is dropped and the file stays
    // A file of another size never becomes a frame of this batch: no later
    // job reads it again.
    if ((out.frame || out.foreign_size) && !context.keep_frame_files && out.file_read) remove_read_file(*job, *out.file_read);
    PoolFrameDelivery delivery = delivery_of(*job, std::move(out));
    delivery.handed_off_ms = ms_between(context.batch_start, std::chrono::steady_clock::now());
    // Bounded steps: once the batch is dropped and nobody drains the channel,
    // the stop flag still ends the wait (and releases the job folder).
    if (context.frames.send_unless_stopped(std::move(delivery), stop, kDecoderSendStep) != SendOutcome::Sent) return;
    request_early_idle();
    if (stopped(stop)) return;
  }
}

size_t start_decode_workers(size_t count, const DecodeWorkerContext& context) {
  size_t started = 0;
  for (size_t i = 0; i < count; ++i) {
    // The context (and its share of the job folder) goes with the loop's
    // end, before the mark: the quit that waits for the mark finds it gone.
    Status<> thread = start_batch_thread("velocinta-decode-" + std::to_string(i),
                                         [ctx = context]() mutable { decode_worker_loop(std::move(ctx)); });
    if (!thread) {
      log_line("ERROR", "pool: decoder unavailable: " + thread.error());
      continue;
    }
    ++started;
  }
  return started;
}

uint64_t decoder_thread_count(std::optional<uint64_t> physical_bytes, std::optional<uint32_t> hardware_threads,
                              uint64_t pressure_percent, std::optional<uint32_t> width,
                              std::optional<uint32_t> height, uint64_t downsample) {
  const uint64_t threads = hardware_threads.value_or(1);
  if (threads < 5) return 1;
  constexpr uint64_t kMiB = 1ull << 20;
  const uint64_t budget =
      physical_bytes ? std::clamp<uint64_t>(*physical_bytes / 50, 32 * kMiB, 512 * kMiB) : 171'798'691;
  uint64_t frame_bytes = 32 * kMiB;
  if (width && height) {
    const uint64_t d = std::max<uint64_t>(downsample, 1);
    const unsigned __int128 bytes =
        static_cast<unsigned __int128>((*width + d - 1) / d) * ((*height + d - 1) / d) * 4;
    if (bytes > 0 && bytes <= UINT64_MAX) frame_bytes = static_cast<uint64_t>(bytes);
  }
  const uint64_t budget_frames = budget * pressure_percent / 100 / frame_bytes;
  const uint64_t by_memory = std::max<uint64_t>(budget_frames >= 2 ? (budget_frames - 2) / 3 : 0, 1);
  return std::max<uint64_t>(std::min({threads / 5, threads - 2, by_memory, uint64_t{8}}), 1);
}

}  // namespace vel
