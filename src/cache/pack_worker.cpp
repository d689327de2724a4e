#include "cache/pack_worker.h"

#include <lz4.h>

#include <cstring>
#include <limits>
#include <new>

#include "cache/buffer_pool.h"
#include "core/log.h"

namespace vel {

void close_pack_channel(PackChannel& channel) {
  {
    std::lock_guard lock(channel.mutex);
    channel.closed = true;
  }
  channel.wake.notify_all();
}

uint64_t pack_capacity(uint64_t raw_len) {
  uint64_t scaled = 0;
  if (__builtin_mul_overflow(raw_len, uint64_t{110}, &scaled)) return std::numeric_limits<uint64_t>::max();
  return scaled / 100 + 24;
}

namespace {

bool packable_length(uint64_t len) {
  return len <= std::numeric_limits<uint32_t>::max() && len <= static_cast<uint64_t>(LZ4_MAX_INPUT_SIZE);
}

// The 4-byte length and an LZ4 block of at most `max_block` bytes written
// into `scratch`, then copied out at their exact size so that the payload
// accounts for no slack. Empty when the block does not fit in `max_block`;
// none when the copy cannot be made.
std::optional<std::vector<uint8_t>> compress_into(std::span<const uint8_t> pixels, uint8_t* scratch, int max_block) {
  const uint32_t len32 = static_cast<uint32_t>(pixels.size());
  const uint8_t header[4] = {static_cast<uint8_t>(len32), static_cast<uint8_t>(len32 >> 8),
                             static_cast<uint8_t>(len32 >> 16), static_cast<uint8_t>(len32 >> 24)};
  std::memcpy(scratch, header, 4);
  const int block = LZ4_compress_default(reinterpret_cast<const char*>(pixels.data()),
                                         reinterpret_cast<char*>(scratch + 4), static_cast<int>(len32), max_block);
  if (block <= 0) return std::vector<uint8_t>();
  try {
    return std::vector<uint8_t>(scratch, scratch + 4 + block);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> pack_pixels(std::span<const uint8_t> pixels) {
  const uint64_t len = pixels.size();
  if (!packable_length(len)) return std::nullopt;
  const uint64_t cap = pack_capacity(len);
  // Uninitialised scratch: only the compressed bytes are ever touched.
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[cap]);
  if (!scratch) return std::nullopt;
  const auto max_block = static_cast<int>(std::min<uint64_t>(cap - 4, std::numeric_limits<int>::max()));
  std::optional<std::vector<uint8_t>> packed = compress_into(pixels, scratch.get(), max_block);
  // The bound always fits the block: an empty answer is a failed compression.
  if (packed && packed->empty()) return std::nullopt;
  return packed;
}

std::optional<std::vector<uint8_t>> pack_pixels_smaller(std::span<const uint8_t> pixels, std::span<uint8_t> scratch) {
  const uint64_t len = pixels.size();
  if (!packable_length(len) || scratch.size() < len) return std::nullopt;
  // Room for a block of at most len - 5 bytes: header and block together
  // stay below the frame's length, or LZ4 answers 0.
  if (len < 6) return std::vector<uint8_t>();
  return compress_into(pixels, scratch.data(), static_cast<int>(len - 5));
}

std::vector<uint8_t> pack_pooled(std::span<const uint8_t> pixels) {
  std::optional<std::vector<uint8_t>> packed;
  if (std::optional<ByteBuffer> scratch = take_pooled_buffer(pixels.size(), pack_capacity(pixels.size()))) {
    packed = pack_pixels_smaller(pixels, *scratch);
    return_pooled_buffer(std::move(*scratch));
  }
  if (!packed) {
    log_line("ERROR", "cache: compression allocation failed; retaining raw frame");
    return {};
  }
  return std::move(*packed);
}

std::vector<uint8_t> pack_frame(std::span<const uint8_t> pixels) {
  std::optional<std::vector<uint8_t>> packed = pack_pixels(pixels);
  if (!packed) {
    log_line("ERROR", "cache: compression allocation failed; retaining raw frame");
    return {};
  }
  return std::move(*packed);
}

void pack_worker_loop(const std::shared_ptr<PackChannel>& channel) {
  struct MarkGone {
    PackChannel& c;
    ~MarkGone() {
      std::lock_guard lock(c.mutex);
      c.worker_gone = true;
    }
  } gone{*channel};
  for (;;) {
    PackJob job;
    {
      std::unique_lock lock(channel->mutex);
      channel->wake.wait(lock, [&] { return channel->closed || !channel->jobs.empty(); });
      if (channel->closed) return;
      job = std::move(channel->jobs.front());
      channel->jobs.pop_front();
    }
    PackResult result{job.key, std::move(job.frame.pixels), {}};
    result.packed = pack_pooled(result.pixels.bytes());
    // The raw buffers of frames packed earlier were freed when their results
    // were installed: give their pages back before the next one is handed on.
    release_freed_frame_memory();
    std::lock_guard lock(channel->mutex);
    channel->results.push_back(std::move(result));
  }
}

std::optional<PackLink> start_pack_worker(BackgroundWorkerRegistry& registry) {
  auto channel = std::make_shared<PackChannel>();
  Status<> started = registry.start(
      "velocinta-pack", [channel] { pack_worker_loop(channel); }, [channel] { close_pack_channel(*channel); });
  if (!started.ok()) return std::nullopt;
  return PackLink(std::move(channel));
}

void send_pack_job(PackLink& link, FrameKey key, RgbaFrame frame) {
  const uint64_t len = frame.pixels.size();
  bool sent = false;
  if (link.channel) {
    std::lock_guard lock(link.channel->mutex);
    if (!link.channel->closed && !link.channel->worker_gone) {
      link.channel->jobs.push_back(PackJob{key, std::move(frame)});
      sent = true;
    }
  }
  if (sent) link.channel->wake.notify_all();
  link.job_in_flight = sent;
  uint64_t bytes = 0;
  if (sent && __builtin_mul_overflow(pack_capacity(len), uint64_t{2}, &bytes)) bytes = std::numeric_limits<uint64_t>::max();
  link.bytes_in_flight = bytes;
}

std::optional<PackResult> receive_pack_result(PackLink& link) {
  if (!link.channel) return std::nullopt;
  std::lock_guard lock(link.channel->mutex);
  if (!link.channel->results.empty()) {
    PackResult r = std::move(link.channel->results.front());
    link.channel->results.pop_front();
    link.job_in_flight = false;
    link.bytes_in_flight = 0;
    return r;
  }
  if (link.channel->worker_gone) {
    link.job_in_flight = false;
    link.bytes_in_flight = 0;
  }
  return std::nullopt;
}

}  // namespace vel
