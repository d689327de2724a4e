#include "cache/unpack_frame.h"

#include <lz4.h>

#include <cstring>
#include <deque>
#include <limits>
#include <mutex>

namespace vel {

namespace {

constexpr size_t kShareMaxBytes = 1'048'576;
constexpr size_t kRecentUnpacked = 4;

// A sampled pass (64 evenly spaced bytes) rejects most differing frames
// before the full comparison.
bool same_bytes(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  const size_t n = a.size();
  const size_t step = std::max<size_t>(n / 64, 1);
  for (size_t i = 0; i < n; i += step) {
    if (a[i] != b[i]) return false;
  }
  return n == 0 || std::memcmp(a.data(), b.data(), n) == 0;
}

struct RecentUnpacked {
  std::mutex mutex;
  std::deque<WeakPixelPayload> payloads;  // oldest first
};
RecentUnpacked& recent_unpacked() {
  static RecentUnpacked& r = *new RecentUnpacked();
  return r;
}

}  // namespace

PixelPayload share_unpacked_payload(ByteBuffer buffer) {
  if (buffer.size() > kShareMaxBytes) return PixelPayload::adopt(std::move(buffer));
  std::optional<PixelPayload> match;
  {
    RecentUnpacked& recent = recent_unpacked();
    std::lock_guard lock(recent.mutex);
    for (const WeakPixelPayload& weak : recent.payloads) {
      std::optional<PixelPayload> live = weak.upgrade();
      if (live && same_bytes(live->bytes(), buffer)) {
        match = std::move(live);
        break;
      }
    }
    if (!match) {
      PixelPayload fresh = PixelPayload::adopt(std::move(buffer));
      std::erase_if(recent.payloads, [](const WeakPixelPayload& w) { return w.expired(); });
      if (recent.payloads.size() >= kRecentUnpacked) recent.payloads.pop_front();
      recent.payloads.push_back(fresh.downgrade());
      return fresh;
    }
  }
  return_pooled_buffer(std::move(buffer));
  return std::move(*match);
}

std::optional<RgbaFrame> unpack_packed_frame(uint32_t width, uint32_t height, std::span<const uint8_t> packed,
                                             double time) {
  uint64_t raw = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(width), static_cast<uint64_t>(height), &raw) ||
      __builtin_mul_overflow(raw, uint64_t{4}, &raw) || raw == 0 || packed.size() < 4) {
    return std::nullopt;
  }
  const uint32_t header = static_cast<uint32_t>(packed[0]) | static_cast<uint32_t>(packed[1]) << 8 |
                          static_cast<uint32_t>(packed[2]) << 16 | static_cast<uint32_t>(packed[3]) << 24;
  if (header != raw) return std::nullopt;
  // LZ4 takes int sizes: a larger frame or block is refused, not truncated.
  const uint64_t block = packed.size() - 4;
  if (raw > static_cast<uint64_t>(std::numeric_limits<int>::max()) ||
      block > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
    return std::nullopt;
  }
  std::optional<ByteBuffer> buffer = take_pooled_buffer(raw, raw);
  if (!buffer) return std::nullopt;
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data() + 4),
                                    reinterpret_cast<char*>(buffer->data()), static_cast<int>(block),
                                    static_cast<int>(raw));
  if (n < 0 || static_cast<uint64_t>(n) != raw) {
    return_pooled_buffer(std::move(*buffer));
    return std::nullopt;
  }
  return RgbaFrame{share_unpacked_payload(std::move(*buffer)), time, width, height};
}

}  // namespace vel
