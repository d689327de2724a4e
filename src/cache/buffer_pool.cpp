#include "cache/buffer_pool.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <limits>
#include <new>

#include "cache/memory_pressure.h"
#include "core/machine.h"
#include "core/saturating.h"

namespace vel {

namespace {
constexpr uint64_t kMiB = 1024 * 1024;

std::optional<ByteBuffer> allocate_zeroed(uint64_t len) {
  if (len > std::numeric_limits<size_t>::max()) return std::nullopt;
  try {
    return ByteBuffer(static_cast<size_t>(len));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}
}  // namespace

uint64_t pool_budget_bytes(std::optional<uint64_t> physical, uint64_t pressure) {
  const uint64_t base = physical ? std::clamp<uint64_t>(*physical / 256, 8 * kMiB, 64 * kMiB) : 32 * kMiB;
  return pressure * (base / 100) + pressure * (base % 100) / 100;
}

void PixelBufferPool::pop_back_locked(std::vector<ByteBuffer>& freed) {
  const uint64_t cap = buffers_.back().capacity();
  pooled_bytes_ = pooled_bytes_ > cap ? pooled_bytes_ - cap : 0;
  note_freed(cap);
  freed.push_back(std::move(buffers_.back()));
  buffers_.pop_back();
}

void PixelBufferPool::trim_locked(uint64_t budget, std::vector<ByteBuffer>& freed) {
  while ((pooled_bytes_ > budget && !buffers_.empty()) || buffers_.size() > kPoolMaxBuffers) pop_back_locked(freed);
}

std::optional<ByteBuffer> PixelBufferPool::take_pooled(uint64_t len, uint64_t max_capacity, uint64_t budget) {
  std::vector<ByteBuffer> freed;
  std::lock_guard lock(mutex_);
  trim_locked(budget, freed);
  size_t best = buffers_.size();
  for (size_t i = 0; i < buffers_.size(); ++i) {
    const uint64_t cap = buffers_[i].capacity();
    if (cap < len || cap > max_capacity) continue;
    if (best == buffers_.size() || cap < buffers_[best].capacity()) best = i;
  }
  if (best == buffers_.size()) return std::nullopt;
  ByteBuffer out = std::move(buffers_[best]);
  if (best + 1 != buffers_.size()) buffers_[best] = std::move(buffers_.back());
  buffers_.pop_back();
  const uint64_t cap = out.capacity();
  pooled_bytes_ = pooled_bytes_ > cap ? pooled_bytes_ - cap : 0;
  return out;
}

std::optional<ByteBuffer> PixelBufferPool::take(uint64_t len, uint64_t max_capacity, uint64_t budget) {
  if (len == 0) return ByteBuffer();
  std::optional<ByteBuffer> out = take_pooled(len, max_capacity, budget);
  if (!out) return allocate_zeroed(len);
  // Within capacity: never reallocates; only a grown tail is zeroed.
  out->resize(static_cast<size_t>(len));
  return out;
}

std::optional<ByteBuffer> PixelBufferPool::take_zeroed(uint64_t len, uint64_t max_capacity, uint64_t budget) {
  if (len == 0) return ByteBuffer();
  std::optional<ByteBuffer> out = take_pooled(len, max_capacity, budget);
  if (!out) return allocate_zeroed(len);
  // Within capacity: never reallocates, and no byte of the frame it last
  // held survives.
  out->assign(static_cast<size_t>(len), 0);
  return out;
}

void PixelBufferPool::give_back(ByteBuffer buffer, uint64_t budget) {
  std::vector<ByteBuffer> freed;
  std::lock_guard lock(mutex_);
  trim_locked(budget, freed);
  const uint64_t cap = buffer.capacity();
  if (cap == 0 || cap > budget || buffers_.size() >= kPoolMaxBuffers) {
    note_freed(cap);
    freed.push_back(std::move(buffer));
  } else {
    // Newer returns displace older buffers from the back of the list.
    while (pooled_bytes_ + cap > budget && !buffers_.empty()) pop_back_locked(freed);
    buffers_.push_back(std::move(buffer));
    pooled_bytes_ += cap;
  }
  // `freed` is destroyed after the lock is released (declared before it).
}

uint64_t PixelBufferPool::trim(uint64_t budget) {
  std::vector<ByteBuffer> freed;
  std::lock_guard lock(mutex_);
  trim_locked(budget, freed);
  return pooled_bytes_;
}

void PixelBufferPool::note_freed(uint64_t capacity) {
  uint64_t now = freed_bytes_.load(std::memory_order_relaxed);
  while (!freed_bytes_.compare_exchange_weak(now, sat_add(now, capacity), std::memory_order_relaxed)) {
  }
}

uint64_t PixelBufferPool::freed_bytes() const { return freed_bytes_.load(std::memory_order_relaxed); }

uint64_t PixelBufferPool::take_freed_bytes_from(uint64_t threshold) {
  uint64_t now = freed_bytes_.load(std::memory_order_relaxed);
  while (now >= threshold && now > 0) {
    if (freed_bytes_.compare_exchange_weak(now, 0, std::memory_order_relaxed)) return now;
  }
  return 0;
}

uint64_t PixelBufferPool::pooled_bytes() {
  std::lock_guard lock(mutex_);
  return pooled_bytes_;
}

std::vector<uint64_t> PixelBufferPool::capacities() {
  std::lock_guard lock(mutex_);
  std::vector<uint64_t> out;
  for (const ByteBuffer& b : buffers_) out.push_back(b.capacity());
  return out;
}

namespace {
PixelBufferPool& process_pool() {
  static PixelBufferPool& pool = *new PixelBufferPool();
  return pool;
}
// Pressure is asked before the pool's lock so that the two locks are never
// held together.
uint64_t current_budget() { return pool_budget_bytes(physical_memory_bytes(), memory_pressure_percent()); }
}  // namespace

std::optional<ByteBuffer> take_pooled_buffer(uint64_t len, uint64_t max_capacity) {
  if (len == 0) return ByteBuffer();
  return process_pool().take(len, max_capacity, current_budget());
}

std::optional<ByteBuffer> take_zeroed_pooled_buffer(uint64_t len, uint64_t max_capacity) {
  if (len == 0) return ByteBuffer();
  return process_pool().take_zeroed(len, max_capacity, current_budget());
}

void return_pooled_buffer(ByteBuffer buffer) { process_pool().give_back(std::move(buffer), current_budget()); }

uint64_t trim_pixel_buffer_pool() { return process_pool().trim(current_budget()); }

namespace {
std::atomic<uint64_t> g_allocator_trims{0};
}

bool release_freed_frame_memory(uint64_t threshold) {
  if (process_pool().take_freed_bytes_from(threshold) == 0) return false;
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
  g_allocator_trims.fetch_add(1, std::memory_order_relaxed);
  return true;
}

uint64_t freed_frame_bytes() { return process_pool().freed_bytes(); }

uint64_t allocator_trims() { return g_allocator_trims.load(std::memory_order_relaxed); }

}  // namespace vel
