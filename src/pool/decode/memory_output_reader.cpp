#include "pool/decode/memory_output_reader.h"

#include <time.h>

#include <string>
#include <thread>
#include <utility>

#include "cache/buffer_pool.h"
#include "core/log.h"
#include "core/process_flags.h"
#include "pool/decode/rgba_decimation.h"
#include "pool/process/worker_launch.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// Publish times are the producer's CLOCK_MONOTONIC, another process's view
// of the same clock; a time ahead of ours gives no latency.
std::optional<double> latency_since(uint64_t publish_ns) {
  if (publish_ns == 0) return std::nullopt;
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return std::nullopt;
  const uint64_t now = static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
  if (now < publish_ns) return std::nullopt;
  return static_cast<double>(now - publish_ns) / 1e6;
}

// A refused output, in the words every refusal uses, so that the log tells
// why the worker's frames were dropped.
void log_rejected_output(uint64_t worker, const MemoutError& error) {
  log_line("ERROR", "pool: memory worker " + std::to_string(worker) + " rejected output: " + error.message);
}

bool raised(const std::shared_ptr<std::atomic<bool>>& flag) { return flag && flag->load(std::memory_order_acquire); }

// The output has nothing more to give: the producer said it finished and
// the slot is empty, or its segment was cut short. Asked of the consumer,
// which reads the header without faulting whatever the producer does.
bool output_over(const MemoryOutputConsumer& consumer) {
  return output_completion(consumer) != OutputCompletion::Running;
}

}  // namespace

MemoryReaderContext::MemoryReaderContext(FrameSender frames, MemoryOutputConsumer consumer,
                                         std::chrono::steady_clock::time_point batch_start, SharedJobDir job_dir,
                                         std::shared_ptr<std::atomic<bool>> stop,
                                         std::shared_ptr<std::atomic<bool>> complete,
                                         std::shared_ptr<std::atomic<bool>> abandon,
                                         std::shared_ptr<std::atomic<uint64_t>> decimation_factor,
                                         std::shared_ptr<std::atomic<bool>> exited, uint64_t worker)
    : frames_(std::move(frames)),
      consumer_(std::move(consumer)),
      batch_start_(batch_start),
      job_dir_(std::move(job_dir)),
      stop_(std::move(stop)),
      complete_(std::move(complete)),
      abandon_(std::move(abandon)),
      decimation_factor_(std::move(decimation_factor)),
      exited_(std::move(exited)),
      worker_(worker) {}

MemoryReaderContext::MemoryReaderContext(MemoryReaderContext&& other) noexcept
    : frames_(std::move(other.frames_)),
      consumer_(std::move(other.consumer_)),
      batch_start_(other.batch_start_),
      job_dir_(std::move(other.job_dir_)),
      stop_(std::move(other.stop_)),
      complete_(std::move(other.complete_)),
      abandon_(std::move(other.abandon_)),
      decimation_factor_(std::move(other.decimation_factor_)),
      exited_(std::move(other.exited_)),
      worker_(other.worker_),
      armed_(std::exchange(other.armed_, false)) {
  other.consumer_.reset();
}

MemoryReaderContext::~MemoryReaderContext() { finish(nullptr, false); }

void MemoryReaderContext::finish(std::vector<uint8_t>* reusable, bool idle) noexcept {
  if (!std::exchange(armed_, false)) return;
  if (consumer_) {
    close_memory_output(*consumer_);
    // The consumer's drop removes the manifest, unlinks the name whatever
    // the producer's unlinked word says ("not found" ignored) and unmaps.
    consumer_.reset();
  }
  release_memory_output_token();
  if (reusable != nullptr) return_pooled_buffer(std::move(*reusable));
  if (exited_) {
    exited_->store(true, std::memory_order_release);
    exited_->notify_all();  // whoever waits for the end (std::atomic::wait)
  }
  if (idle) request_early_idle();
  job_dir_.reset();
  frames_.reset();
}

void memory_output_worker_loop(MemoryReaderContext context) {
  MemoryReaderContext& ctx = context;
  std::vector<uint8_t> buffer;
  bool idle_at_exit = true;
  while (!raised(ctx.stop_)) {
    MemoryOutputConsumer& consumer = *ctx.consumer_;
    const Clock::time_point t0 = Clock::now();
    MemoutResult<std::optional<DeliveredFrame>> taken = receive_output_frame(consumer, buffer);
    const Clock::time_point taken_at = Clock::now();
    if (!taken) {
      log_rejected_output(ctx.worker_, taken.error());
      break;
    }
    if (!taken->has_value()) {
      // The producer may cut its file between the take's look and this
      // one: a refusal all the same, said as the take's are (the output is
      // closed as the reader ends).
      MemoutResult<OutputCompletion> checked = checked_output_completion(consumer);
      if (!checked) {
        log_rejected_output(ctx.worker_, checked.error());
        break;
      }
      const OutputCompletion state = *checked;
      if (state == OutputCompletion::Complete) {
        if (ctx.complete_) ctx.complete_->store(true, std::memory_order_release);
        break;
      }
      // Incomplete: the worker finished short; the batch falls back.
      if (state == OutputCompletion::Incomplete) break;
      // A producer that died inside a write leaves the slot at 1 for ever:
      // abandon ends the reader whatever the slot's state.
      if (raised(ctx.abandon_)) break;
      std::this_thread::sleep_for(kMemoryReaderPoll);
      continue;
    }
    const DeliveredFrame& frame = **taken;

    PoolFrameDelivery delivery;
    delivery.worker = ctx.worker_;
    delivery.frame = frame.frame;
    delivery.null_output = frame.null_frame;
    MemoryFrameTimings timings;
    timings.receive_ms = ms_between(t0, taken_at);
    timings.received_at_ms = ms_between(ctx.batch_start_, taken_at);
    timings.latency_ms = latency_since(frame.publish_ns);
    timings.slot_wait_ms = static_cast<double>(frame.slot_wait_ns) / 1e6;
    timings.copy_ms = static_cast<double>(frame.copy_ns) / 1e6;
    timings.payload_bytes = frame.null_frame ? 0 : buffer.size();

    bool keep_buffer = false;  // the full-size buffer stays the reader's after a reduction
    if (!frame.null_frame) {
      const Clock::time_point d0 = Clock::now();
      const uint64_t factor = ctx.decimation_factor_ ? ctx.decimation_factor_->load(std::memory_order_acquire) : 1;
      const std::optional<ReducedSize> size = reduced_rgba_size(frame.width, frame.height, buffer.size(), factor);
      if (!size) {
        log_line("ERROR", "pool: memory output decimation rejected invalid pixels");
        break;
      }
      RgbaFrame rgba;
      rgba.time = frame.time_scale != 0 ? static_cast<double>(frame.time_value) / frame.time_scale : 0.0;
      rgba.width = size->width;
      rgba.height = size->height;
      if (factor > 1) {
        // Nothing to zero: a reduction that succeeds has written every byte,
        // and one that fails gives the buffer back unread.
        std::optional<ByteBuffer> reduced = take_pooled_buffer(size->bytes, size->bytes);
        if (!reduced) break;
        if (!reduce_rgba(buffer, frame.width, frame.height, factor, *size, *reduced)) {
          return_pooled_buffer(std::move(*reduced));
          log_line("ERROR", "pool: memory output decimation rejected invalid pixels");
          break;
        }
        rgba.pixels = PixelPayload::adopt(std::move(*reduced));
        keep_buffer = true;
      } else {
        rgba.pixels = PixelPayload::adopt(std::move(buffer));
        buffer = {};
      }
      delivery.pixels = std::move(rgba);
      timings.decimate_ms = ms_between(d0, Clock::now());
    }
    delivery.memory = timings;
    delivery.handed_off_ms = ms_between(ctx.batch_start_, Clock::now());

    bool sent = false;
    bool disconnected = false;
    while (!raised(ctx.stop_)) {
      const TrySend outcome = ctx.frames_.try_send_keeping(delivery);
      if (outcome == TrySend::Sent) {
        sent = true;
        break;
      }
      if (outcome == TrySend::Disconnected) {
        disconnected = true;
        break;
      }
      std::this_thread::sleep_for(kMemoryReaderPoll);
    }
    if (disconnected) {
      idle_at_exit = false;
      buffer = {};
      break;
    }
    if (!sent) break;  // stop: the frame is dropped
    request_early_idle();

    if (!frame.null_frame && !keep_buffer && !raised(ctx.stop_) && !output_over(consumer)) {
      // The next take writes every byte of the payload before anyone reads
      // the buffer, and a refused frame empties it: nothing to zero.
      std::optional<ByteBuffer> next = take_pooled_buffer(timings.payload_bytes, timings.payload_bytes);
      if (!next) break;
      buffer = std::move(*next);
    }
  }
  ctx.finish(&buffer, idle_at_exit);
}

Status<> start_memory_output_reader(MemoryReaderContext context, BackgroundWorkerRegistry& registry) {
  const std::string name = "velocinta-memory-" + std::to_string(context.worker());
  std::shared_ptr<std::atomic<bool>> stop = context.stop_flag();
  // std::function must be copyable; the thread moves the one context out.
  auto held = std::make_shared<MemoryReaderContext>(std::move(context));
  return registry.start(
      name, [held]() mutable { memory_output_worker_loop(std::move(*held)); },
      [stop] {
        if (stop) stop->store(true, std::memory_order_release);
      });
}

}  // namespace vel
