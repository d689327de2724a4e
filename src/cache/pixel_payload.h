// PixelPayload: the one shared byte buffer of the plug-in (frame pixels and
// packed frames). Reference-counted with a stable identity, a weak form that
// any thread may upgrade, and a sole-holder take-back by compare-and-swap.
//
// Why not std::shared_ptr: "am I the only holder?" must be answered and acted
// on atomically. use_count() can be 1 while another thread is upgrading a
// weak reference; here the take-back swaps the strong count from 1 to 0, and
// an upgrade only succeeds from a non-zero count, so exactly one of the two
// wins and the bytes are never shared with a buffer pool behind someone's back.
//
// Accounting counts a payload by its allocated capacity, fixed when the
// payload is made; its length is the number of bytes in use.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vel {

namespace detail {
struct PayloadBlock {
  explicit PayloadBlock(std::vector<uint8_t> b) : capacity(b.capacity()), bytes(std::move(b)) {}
  std::atomic<uint64_t> strong{1};
  std::atomic<uint64_t> weak{1};  // weak handles, plus one shared by all strong handles
  const uint64_t capacity;
  std::vector<uint8_t> bytes;  // emptied when the last strong handle goes
};

inline void release_weak(PayloadBlock* b) {
  if (b->weak.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b;
}
}  // namespace detail

class WeakPixelPayload;

class PixelPayload {
 public:
  PixelPayload() = default;
  // Takes the buffer over; its capacity is what the payload accounts for.
  static PixelPayload adopt(std::vector<uint8_t> bytes) { return PixelPayload(new detail::PayloadBlock(std::move(bytes))); }
  static PixelPayload copy_of(std::span<const uint8_t> bytes) {
    return adopt(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  }

  PixelPayload(const PixelPayload& o) : b_(o.b_) {
    if (b_) b_->strong.fetch_add(1, std::memory_order_relaxed);
  }
  PixelPayload(PixelPayload&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  PixelPayload& operator=(const PixelPayload& o) {
    if (this != &o) {
      PixelPayload copy(o);
      swap(copy);
    }
    return *this;
  }
  PixelPayload& operator=(PixelPayload&& o) noexcept {
    if (this != &o) {
      reset();
      b_ = std::exchange(o.b_, nullptr);
    }
    return *this;
  }
  ~PixelPayload() { reset(); }

  void reset() {
    detail::PayloadBlock* b = std::exchange(b_, nullptr);
    if (b == nullptr) return;
    if (b->strong.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::vector<uint8_t>().swap(b->bytes);
      detail::release_weak(b);
    }
  }
  void swap(PixelPayload& o) noexcept { std::swap(b_, o.b_); }

  explicit operator bool() const { return b_ != nullptr; }
  const uint8_t* data() const { return b_ ? b_->bytes.data() : nullptr; }
  // Bytes in use.
  size_t size() const { return b_ ? b_->bytes.size() : 0; }
  std::span<const uint8_t> bytes() const { return {data(), size()}; }
  // Allocated capacity when the payload was made: what accounting counts.
  uint64_t capacity() const { return b_ ? b_->capacity : 0; }
  // Stable while any handle (strong or weak) to the payload lives, distinct
  // between live payloads; 0 for an empty handle.
  uint64_t identity() const { return reinterpret_cast<uintptr_t>(b_); }
  uint64_t strong_count() const { return b_ ? b_->strong.load(std::memory_order_acquire) : 0; }
  friend bool same_payload(const PixelPayload& a, const PixelPayload& b) { return a.b_ == b.b_; }

  WeakPixelPayload downgrade() const;

  // When this handle is the only strong one, takes the byte buffer out
  // (leaving this handle empty) and answers it; otherwise answers nothing
  // and changes nothing. Cannot race with an upgrade of a weak handle.
  std::optional<std::vector<uint8_t>> try_take_bytes() {
    if (b_ == nullptr) return std::nullopt;
    uint64_t expected = 1;
    if (!b_->strong.compare_exchange_strong(expected, 0, std::memory_order_acq_rel, std::memory_order_relaxed)) {
      return std::nullopt;
    }
    detail::PayloadBlock* b = std::exchange(b_, nullptr);
    std::vector<uint8_t> out = std::move(b->bytes);
    detail::release_weak(b);
    return out;
  }

 private:
  friend class WeakPixelPayload;
  explicit PixelPayload(detail::PayloadBlock* b) : b_(b) {}
  detail::PayloadBlock* b_ = nullptr;
};

class WeakPixelPayload {
 public:
  WeakPixelPayload() = default;
  WeakPixelPayload(const WeakPixelPayload& o) : b_(o.b_) {
    if (b_) b_->weak.fetch_add(1, std::memory_order_relaxed);
  }
  WeakPixelPayload(WeakPixelPayload&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  WeakPixelPayload& operator=(WeakPixelPayload o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~WeakPixelPayload() {
    if (b_) detail::release_weak(b_);
  }

  // A strong handle while the payload lives; nothing once its last strong
  // handle went or its bytes were taken back.
  std::optional<PixelPayload> upgrade() const {
    if (b_ == nullptr) return std::nullopt;
    uint64_t n = b_->strong.load(std::memory_order_relaxed);
    while (n != 0) {
      if (b_->strong.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return PixelPayload(b_);
      }
    }
    return std::nullopt;
  }
  bool expired() const { return b_ == nullptr || b_->strong.load(std::memory_order_acquire) == 0; }
  uint64_t identity() const { return reinterpret_cast<uintptr_t>(b_); }

 private:
  friend class PixelPayload;
  explicit WeakPixelPayload(detail::PayloadBlock* b) : b_(b) {}
  detail::PayloadBlock* b_ = nullptr;
};

inline WeakPixelPayload PixelPayload::downgrade() const {
  if (b_ == nullptr) return WeakPixelPayload();
  b_->weak.fetch_add(1, std::memory_order_relaxed);
  return WeakPixelPayload(b_);
}

}  // namespace vel
