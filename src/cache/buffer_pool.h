// The pixel buffer pool: at most 4 reusable byte buffers within a byte budget
// scaled by the memory pressure, so that decoders, unpackers and ingest reuse
// warm multi-megabyte buffers instead of allocating and zeroing one per frame.
// Process-wide; every operation is safe from any thread.
//
// Contents contract. A pooled buffer last held another frame's pixels.
// - `take_pooled_buffer` answers them as they were (only a grown tail is
//   zeroed). Only a producer that writes every byte before anyone reads the
//   buffer may use it: the in-process converter, the LZ4 unpacker, whose
//   decoded length is checked to be exactly the frame's, and the
//   shared-memory reader, whose take copies the contract's whole payload or
//   empties the buffer.
// - `take_zeroed_pooled_buffer` answers every byte 0. Every producer that may
//   leave bytes unwritten (file and pool decoders, the raster fill) takes its
//   buffer this way, so that a short decode,
//   a partial tile or a smaller source never shows another frame's pixels.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace vel {

using ByteBuffer = std::vector<uint8_t>;

inline constexpr size_t kPoolMaxBuffers = 4;

// clamp(physical / 256, 8 MiB, 64 MiB), or 32 MiB when physical memory is
// unknown, scaled by `pressure_percent` without overflow.
uint64_t pool_budget_bytes(std::optional<uint64_t> physical_bytes, uint64_t pressure_percent);

// One pool; the process-wide functions below use a single, never destroyed
// instance. The budget is the caller's, computed before the lock.
class PixelBufferPool {
 public:
  // A buffer of exactly `len` bytes: the pooled buffer of smallest capacity
  // in [len, max_capacity] (bytes below its previous length keep their old
  // contents, a grown tail is zeroed), else a fresh zero-filled allocation of
  // capacity `len`. Absent only when that allocation fails. len 0 answers an
  // empty buffer without touching the pool.
  std::optional<ByteBuffer> take(uint64_t len, uint64_t max_capacity, uint64_t budget);
  // As `take`, with every one of the `len` bytes 0 whichever buffer it is.
  std::optional<ByteBuffer> take_zeroed(uint64_t len, uint64_t max_capacity, uint64_t budget);
  // Keeps the buffer when its capacity fits the budget and fewer than 4 are
  // pooled, pushing out the last pooled buffers to make room; else frees it.
  void give_back(ByteBuffer buffer, uint64_t budget);
  // Frees pooled buffers from the back until within budget and count;
  // answers the pooled bytes.
  uint64_t trim(uint64_t budget);

  uint64_t pooled_bytes();
  // Capacity of the buffers the pool has freed (given back past its count or
  // budget, or trimmed) since the last take, saturating.
  uint64_t freed_bytes() const;
  // When at least `threshold` bytes (and some) were freed, answers them and
  // starts the count again; else answers 0 and leaves it.
  uint64_t take_freed_bytes_from(uint64_t threshold);
  // Capacities of the pooled buffers in list order (tests and diagnostics).
  std::vector<uint64_t> capacities();

 private:
  // Under the mutex; the removed buffers go to `freed` so that they are
  // released after the lock.
  void trim_locked(uint64_t budget, std::vector<ByteBuffer>& freed);
  void pop_back_locked(std::vector<ByteBuffer>& freed);
  // Takes the best-fitting pooled buffer out of the pool, contents untouched.
  std::optional<ByteBuffer> take_pooled(uint64_t len, uint64_t max_capacity, uint64_t budget);

  void note_freed(uint64_t capacity);

  std::mutex mutex_;
  std::atomic<uint64_t> freed_bytes_{0};
  std::vector<ByteBuffer> buffers_;
  uint64_t pooled_bytes_ = 0;
};

// The process-wide pool, its budget taken from memory_pressure_percent() and
// the physical memory at every call.
// Earlier contents kept: see the contract above before using it.
std::optional<ByteBuffer> take_pooled_buffer(uint64_t len, uint64_t max_capacity);
// Every byte 0: the way for producers that may not write every byte.
std::optional<ByteBuffer> take_zeroed_pooled_buffer(uint64_t len, uint64_t max_capacity);
void return_pooled_buffer(ByteBuffer buffer);
uint64_t trim_pixel_buffer_pool();

// Frame buffers freed in the middle of a thread's allocator arena stay
// resident: glibc gives back only the top of an arena. With packing on,
// every packed frame frees its raw buffer (made by whichever thread rendered
// or unpacked it) and the unpacker makes new ones in its own arena, so
// freed frames piled up in one arena while the next were made in another,
// and packing cost more resident memory than it saved. Once the process-wide
// pool has freed `threshold` bytes since the last time, the allocator's
// wholly free pages are returned to the system (malloc_trim); answers
// whether that was done. Slow-ish (it walks every arena): called from the
// pack worker, never on the main thread.
inline constexpr uint64_t kFreedFrameBytesBeforeTrim = 16ull << 20;
bool release_freed_frame_memory(uint64_t threshold = kFreedFrameBytesBeforeTrim);
// Bytes freed by the process-wide pool and not yet released (tests).
uint64_t freed_frame_bytes();
// How many times release_freed_frame_memory returned pages (tests).
uint64_t allocator_trims();

}  // namespace vel
