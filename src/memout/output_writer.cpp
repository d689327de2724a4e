#include "memout/output_writer.h"

#include <cstring>
#include <limits>
#include <thread>

#include "core/machine.h"
#include "memout/argb_convert.h"
#include "memout/manifest.h"

namespace vel {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t saturating_ns(Clock::duration d) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return ns < 0 ? 0 : static_cast<uint64_t>(ns);
}

// No page is smaller on the systems the module runs on.
constexpr uint64_t kPageBytes = 4096;

}  // namespace

MemoutResult<SharedMemorySegment> attach_output_segment(std::string_view mapping_name, const SegmentToken& token,
                                                        uint64_t capacity) {
  if (capacity > kMaxSegmentCapacity) return memout_invalid("shared-memory capacity exceeds 64 MiB");
  auto mapped = map_shared_memory(mapping_name, capacity + kSegmentHeaderBytes, false);
  if (!mapped) return mapped;
  SharedMemorySegment segment = std::move(*mapped);
  const HeaderView h = segment.header();

  char magic[8];
  uint8_t seen_token[16];
  uint64_t seen_capacity = 0;
  h.read_identity(magic, seen_token, seen_capacity);
  if (std::memcmp(magic, kSegmentMagic, sizeof magic) != 0 ||
      std::memcmp(seen_token, token.data(), token.size()) != 0 || seen_capacity != capacity) {
    return memout_invalid("shared-memory identity mismatch");
  }
  if (h.closed().load(std::memory_order_acquire) != 0) {
    return memout_fail(MemoutErrorKind::BrokenPipe, "consumer closed");
  }
  uint32_t expected = 0;
  if (!h.producer_attached().compare_exchange_strong(expected, 1, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
    return memout_invalid("shared-memory producer already attached");
  }
  // The first store into each page through a shared mapping moves the file's
  // change time, as a cut does; the host holds every frame to the file's
  // status once this side set the unlinked word. So every page is made
  // writable here, before the word, and no frame's own stores move it.
  // The payload starts past the header, not on a page: its last byte may
  // lie in a page of its own.
  uint8_t* payload = h.payload();
  const auto touch = [payload](uint64_t at) {
    volatile uint8_t* byte = payload + at;
    *byte = *byte;
  };
  for (uint64_t at = 0; at < capacity; at += kPageBytes) touch(at);
  if (capacity > 0) touch(capacity - 1);
  if (auto removed = unlink_shared_memory(mapping_name); !removed) return Err<MemoutError>{removed.error()};
  h.unlinked().store(1, std::memory_order_release);
  return segment;
}

MemoutResult<MemoryOutputWriter> read_output_manifest(std::string_view output_path) {
  auto manifest_path = manifest_path_for_output(output_path);
  if (!manifest_path) return Err<MemoutError>{manifest_path.error()};
  auto manifest = read_manifest_file(*manifest_path);
  if (!manifest) return Err<MemoutError>{manifest.error()};
  const Manifest& m = *manifest;
  if (auto valid = validate_output_contract(m, output_path); !valid) return Err<MemoutError>{valid.error()};
  auto segment = attach_output_segment(m.mapping_name, m.token, m.capacity);
  if (!segment) return Err<MemoutError>{segment.error()};
  MemoryOutputWriter w;
  w.contract = contract_from_manifest(m);
  w.token = m.token;
  w.mapping_name = m.mapping_name;
  w.output_path = m.output_path;
  w.segment = std::move(*segment);
  return w;
}

MemoutResult<SlotWriteTimes> write_frame_to_slot(MemoryOutputWriter& writer, int64_t frame, const ArgbFrame& src,
                                                 bool premultiply, const CancelCheck& cancel,
                                                 const SlotWaitPolicy& wait) {
  const OutputContract& c = writer.contract;
  const uint64_t row_len = uint64_t{src.width} * 4;
  uint64_t needed = 0;
  if (src.height > 0) {
    uint64_t rows_before_last = 0;
    if (__builtin_mul_overflow(uint64_t{src.height} - 1, src.row_bytes, &rows_before_last) ||
        __builtin_add_overflow(rows_before_last, row_len, &needed)) {
      needed = std::numeric_limits<uint64_t>::max();
    }
  }
  if (src.row_bytes < row_len || src.length < needed) return memout_invalid("ARGB world is truncated");
  int64_t time_value = 0;
  if (!checked_frame_time(frame, c.step, time_value)) return memout_invalid("frame time overflow");
  if (frame < c.range_start || frame > c.range_end || src.width != c.width || src.height != c.height) {
    return memout_invalid("frame does not belong to this output contract");
  }

  const HeaderView h = writer.segment.header();
  const auto started = Clock::now();
  auto cancelled = [&] { return cancel && cancel(); };
  if (cancelled()) return memout_fail(MemoutErrorKind::Interrupted, "output cancelled");
  for (;;) {
    if (Clock::now() - started >= wait.timeout) {
      return memout_fail(MemoutErrorKind::TimedOut, "consumer did not acknowledge output slot");
    }
    if (c.capacity > writer.segment.capacity()) return memout_invalid("pixel payload exceeds shared-memory capacity");
    if (h.closed().load(std::memory_order_acquire) != 0 || h.finished().load(std::memory_order_acquire) != 0) {
      return memout_fail(MemoutErrorKind::BrokenPipe, "output is closed");
    }
    // The first frame waits for the host's watched word: until the host has
    // taken the segment's status after our attaching, it could not tell a
    // frame of ours from one a cut had taken bytes from.
    uint32_t expected = kSlotFree;
    if (h.watched().load(std::memory_order_acquire) != 0 &&
        h.slot_state().compare_exchange_strong(expected, kSlotWriting, std::memory_order_acquire,
                                               std::memory_order_acquire)) {
      break;
    }
    std::this_thread::sleep_for(wait.poll);
    if (cancelled()) return memout_fail(MemoutErrorKind::Interrupted, "output cancelled");
  }
  SlotWriteTimes times;
  times.slot_wait_ns = saturating_ns(Clock::now() - started);

  if (!c.null_mode) {
    const auto copy_start = Clock::now();
    auto converted = convert_argb8_to_rgba8(src.pixels, src.length, src.row_bytes, src.width, src.height, h.payload(),
                                            c.capacity, premultiply);
    if (!converted) {
      h.slot_state().store(kSlotFree, std::memory_order_release);
      return Err<MemoutError>{converted.error()};
    }
    times.copy_ns = saturating_ns(Clock::now() - copy_start);
  }
  times.publish_ns = mono_ns();
  if (h.closed().load(std::memory_order_acquire) != 0) {
    h.slot_state().store(kSlotFree, std::memory_order_release);
    return memout_fail(MemoutErrorKind::BrokenPipe, "consumer closed during copy");
  }

  OutputFrameMeta meta;
  meta.frame = frame;
  meta.time_value = time_value;
  meta.time_scale = c.key_scale;
  meta.width = c.width;
  meta.height = c.height;
  meta.mode = c.null_mode ? kFrameModeNull : kFrameModePixels;
  meta.publish_ns = times.publish_ns;
  meta.slot_wait_ns = times.slot_wait_ns;
  meta.copy_ns = times.copy_ns;
  meta.contract[0] = 1;
  meta.contract[1] = 1;
  meta.contract[2] = 0;
  h.write_record(meta);
  h.write_payload_length(c.capacity);
  h.slot_state().store(kSlotReady, std::memory_order_release);
  return times;
}

void mark_output_finished(MemoryOutputWriter& writer) {
  writer.segment.header().finished().store(1, std::memory_order_release);
}

}  // namespace vel
