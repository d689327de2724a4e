// The byte layout of one shared-memory output segment: a 192-byte header and
// one frame slot. Both processes map the same bytes, so the layout is pinned
// here by static assertions; all integers are little-endian (native order on
// every machine we build for, asserted below).
//
// Only the six u32 words at offsets 32..52 are shared as atomics: the
// producer reaches them through std::atomic_ref on its mapping, the host
// through its descriptor, one whole word per read or write (shm_segment.h).
// The frame record and payload length are plain bytes, written only by the
// side that holds the slot and published by the release store of the slot
// state.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vel {

static_assert(std::endian::native == std::endian::little, "the segment layout is little-endian");

inline constexpr char kSegmentMagic[8] = {'V', 'N', 'X', 'M', 'E', 'M', '0', '1'};
inline constexpr uint64_t kSegmentHeaderBytes = 192;
inline constexpr uint64_t kMaxSegmentCapacity = 64ull * 1024 * 1024;

enum SlotState : uint32_t {
  kSlotFree = 0,
  kSlotWriting = 1,
  kSlotReady = 2,
  kSlotReading = 3,
};

enum FrameMode : uint64_t {
  kFrameModePixels = 1,
  kFrameModeNull = 2,
};

// Twelve 8-byte words at offset 64.
struct OutputFrameMeta {
  int64_t frame = 0;
  int64_t time_value = 0;
  uint64_t time_scale = 0;
  uint64_t width = 0;
  uint64_t height = 0;
  uint64_t mode = 0;
  uint64_t publish_ns = 0;
  uint64_t slot_wait_ns = 0;
  uint64_t copy_ns = 0;
  // RGBA8 premultiplied is (1, 1, 0); a reader refuses any other triple.
  uint64_t contract[3] = {0, 0, 0};
};

struct SegmentHeader {
  char magic[8];
  uint8_t token[16];
  uint64_t capacity;
  uint32_t slot_state;
  uint32_t closed;
  uint32_t producer_attached;
  uint32_t finished;
  uint32_t unlinked;
  uint32_t watched;
  uint64_t payload_length;
  OutputFrameMeta record;
  uint8_t reserved_tail[32];
};

static_assert(sizeof(OutputFrameMeta) == 96);
static_assert(sizeof(SegmentHeader) == kSegmentHeaderBytes);
static_assert(offsetof(SegmentHeader, magic) == 0);
static_assert(offsetof(SegmentHeader, token) == 8);
static_assert(offsetof(SegmentHeader, capacity) == 24);
static_assert(offsetof(SegmentHeader, slot_state) == 32);
static_assert(offsetof(SegmentHeader, closed) == 36);
static_assert(offsetof(SegmentHeader, producer_attached) == 40);
static_assert(offsetof(SegmentHeader, finished) == 44);
static_assert(offsetof(SegmentHeader, unlinked) == 48);
static_assert(offsetof(SegmentHeader, watched) == 52);
static_assert(offsetof(SegmentHeader, payload_length) == 56);
static_assert(offsetof(SegmentHeader, record) == 64);
static_assert(offsetof(SegmentHeader, record) + offsetof(OutputFrameMeta, copy_ns) == 128);
static_assert(offsetof(SegmentHeader, record) + offsetof(OutputFrameMeta, contract) == 136);
static_assert(offsetof(SegmentHeader, reserved_tail) == 160);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free,
              "header words are shared between processes: they must be lock-free");
static_assert(std::atomic_ref<uint32_t>::required_alignment <= alignof(uint32_t));

// The shared words by their place in the header.
enum class HeaderWord : uint64_t {
  SlotState = offsetof(SegmentHeader, slot_state),
  Closed = offsetof(SegmentHeader, closed),
  ProducerAttached = offsetof(SegmentHeader, producer_attached),
  Finished = offsetof(SegmentHeader, finished),
  Unlinked = offsetof(SegmentHeader, unlinked),
  Watched = offsetof(SegmentHeader, watched),
};

// The payload length and the frame record lie side by side: one read takes
// both.
inline constexpr uint64_t kSlotFrameOffset = offsetof(SegmentHeader, payload_length);
inline constexpr uint64_t kSlotFrameBytes = offsetof(SegmentHeader, reserved_tail) - kSlotFrameOffset;
static_assert(offsetof(SegmentHeader, record) == kSlotFrameOffset + sizeof(uint64_t));

// Typed access to a mapped header, as the producer uses it. Holds no state
// beyond the address; the mapping (page-aligned) outlives it. The host never
// touches the header through its mapping: the producer may cut the file
// under it at any moment (SharedMemorySegment::load_word and store_word).
class HeaderView {
 public:
  explicit HeaderView(void* base) : h_(static_cast<SegmentHeader*>(base)) {}

  std::atomic_ref<uint32_t> slot_state() const { return std::atomic_ref<uint32_t>(h_->slot_state); }
  std::atomic_ref<uint32_t> closed() const { return std::atomic_ref<uint32_t>(h_->closed); }
  std::atomic_ref<uint32_t> producer_attached() const { return std::atomic_ref<uint32_t>(h_->producer_attached); }
  std::atomic_ref<uint32_t> finished() const { return std::atomic_ref<uint32_t>(h_->finished); }
  std::atomic_ref<uint32_t> unlinked() const { return std::atomic_ref<uint32_t>(h_->unlinked); }
  std::atomic_ref<uint32_t> watched() const { return std::atomic_ref<uint32_t>(h_->watched); }

  // Plain fields: copied in or out whole, never read twice.
  void write_identity(const uint8_t (&token)[16], uint64_t capacity) const {
    std::memcpy(h_->magic, kSegmentMagic, sizeof kSegmentMagic);
    std::memcpy(h_->token, token, sizeof token);
    std::memcpy(&h_->capacity, &capacity, sizeof capacity);
  }
  // Every word after the identity (32..159) back to zero.
  void zero_state_words() const {
    std::memset(reinterpret_cast<uint8_t*>(h_) + offsetof(SegmentHeader, slot_state), 0,
                offsetof(SegmentHeader, reserved_tail) - offsetof(SegmentHeader, slot_state));
  }
  void read_identity(char (&magic)[8], uint8_t (&token)[16], uint64_t& capacity) const {
    std::memcpy(magic, h_->magic, sizeof magic);
    std::memcpy(token, h_->token, sizeof token);
    std::memcpy(&capacity, &h_->capacity, sizeof capacity);
  }
  uint64_t read_payload_length() const {
    uint64_t v;
    std::memcpy(&v, &h_->payload_length, sizeof v);
    return v;
  }
  void write_payload_length(uint64_t v) const { std::memcpy(&h_->payload_length, &v, sizeof v); }
  OutputFrameMeta read_record() const {
    OutputFrameMeta m;
    std::memcpy(&m, &h_->record, sizeof m);
    return m;
  }
  void write_record(const OutputFrameMeta& m) const { std::memcpy(&h_->record, &m, sizeof m); }

  uint8_t* payload() const { return reinterpret_cast<uint8_t*>(h_) + kSegmentHeaderBytes; }

 private:
  SegmentHeader* h_;
};

}  // namespace vel
