#include "store/frame_file.h"

#include <lz4.h>
#define XXH_STATIC_LINKING_ONLY  // the hash state on the stack, no allocation per file
#include <xxhash.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "cache/buffer_pool.h"
#include "cache/pack_worker.h"

namespace vel {

namespace {

constexpr uint8_t kMagicVnf2[4] = {'V', 'N', 'F', '2'};
constexpr uint8_t kMagicVnf3[4] = {'V', 'N', 'F', '3'};
constexpr uint8_t kMagicVnf4[4] = {'V', 'N', 'F', '4'};
constexpr uint8_t kCheckTag[4] = {'V', 'N', 'C', '1'};

void store_u32_le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void store_f64_le(uint8_t* p, double d) {
  const uint64_t bits = std::bit_cast<uint64_t>(d);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

// One LZ4 length extension: each byte is added while it is 255. False when
// the input runs out first or the length passes `limit` (nothing that long
// can fit the output anyway).
bool extend_length(std::span<const uint8_t> block, size_t& pos, uint64_t& len, uint64_t limit) {
  for (;;) {
    if (pos >= block.size()) return false;
    const uint8_t b = block[pos++];
    len += b;
    if (len > limit) return false;
    if (b != 255) return true;
  }
}

std::optional<DecodedFrame> decode_vnf2(std::span<const uint8_t> payload, DecodedFrame head, uint64_t raw) {
  if (payload.size() != raw / 4 * 3) return std::nullopt;
  std::vector<uint8_t> rgba;
  try {
    rgba.resize(raw);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  for (uint64_t px = 0, n = raw / 4; px < n; ++px) {
    std::memcpy(&rgba[px * 4], &payload[px * 3], 3);
    rgba[px * 4 + 3] = 255;
  }
  head.pixels = PixelPayload::adopt(std::move(rgba));
  return head;
}

std::optional<DecodedFrame> decode_vnf3(std::span<const uint8_t> payload, DecodedFrame head, uint64_t raw) {
  if (payload.size() < 4 || load_u32_le(payload.data()) != raw) return std::nullopt;
  std::optional<ByteBuffer> buffer = take_pooled_buffer(raw, raw * 2);
  if (!buffer) return std::nullopt;
  // Both sizes are within int: raw ≤ 256 MiB and the file ≤ 0x1010105C bytes.
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(payload.data() + 4),
                                    reinterpret_cast<char*>(buffer->data()), static_cast<int>(payload.size() - 4),
                                    static_cast<int>(raw));
  if (n < 0 || static_cast<uint64_t>(n) != raw) return std::nullopt;  // the buffer is freed, not pooled
  head.pixels = PixelPayload::adopt(std::move(*buffer));
  return head;
}

}  // namespace

uint32_t load_u32_le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

double load_f64_le(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
  return std::bit_cast<double>(bits);
}

std::optional<uint64_t> raw_frame_bytes(uint32_t width, uint32_t height) {
  const uint64_t raw = uint64_t{width} * height * 4;  // at most 2^66 / 4: fits, as both factors are 32-bit
  if (width == 0 || height == 0 || uint64_t{width} * height > kMaxRawFrameBytes / 4) return std::nullopt;
  return raw;
}

FrameHeader vnf3_header(FrameKey key, uint32_t width, uint32_t height, double time, uint32_t payload_len) {
  FrameHeader h{};
  std::memcpy(h.data(), kMagicVnf3, 4);
  store_u32_le(&h[4], static_cast<uint32_t>(key.value));
  store_u32_le(&h[8], key.scale);
  store_u32_le(&h[12], width);
  store_u32_le(&h[16], height);
  store_f64_le(&h[20], time);
  store_u32_le(&h[28], payload_len);
  return h;
}

std::array<uint8_t, kAliasRecordBytes> vnf4_bytes(FrameKey key, double time, FrameKey target) {
  std::array<uint8_t, kAliasRecordBytes> b{};
  std::memcpy(b.data(), kMagicVnf4, 4);
  store_u32_le(&b[4], static_cast<uint32_t>(key.value));
  store_u32_le(&b[8], key.scale);
  store_f64_le(&b[12], time);
  store_u32_le(&b[20], static_cast<uint32_t>(target.value));
  store_u32_le(&b[24], target.scale);
  return b;
}

FrameCheck frame_check(std::initializer_list<std::span<const uint8_t>> parts) {
  XXH3_state_t state;
  (void)XXH3_64bits_reset(&state);
  for (std::span<const uint8_t> part : parts) (void)XXH3_64bits_update(&state, part.data(), part.size());
  const uint64_t hash = XXH3_64bits_digest(&state);
  FrameCheck c{};
  for (int i = 0; i < 8; ++i) c[i] = static_cast<uint8_t>(hash >> (8 * i));
  std::memcpy(&c[8], kCheckTag, 4);
  return c;
}

std::optional<std::span<const uint8_t>> checked_contents(std::span<const uint8_t> file) {
  if (file.size() < kFrameCheckBytes) return std::nullopt;
  const std::span<const uint8_t> contents = file.first(file.size() - kFrameCheckBytes);
  const std::span<const uint8_t> record = file.last(kFrameCheckBytes);
  if (std::memcmp(&record[8], kCheckTag, 4) != 0) return std::nullopt;
  uint64_t stored = 0;
  for (int i = 7; i >= 0; --i) stored = stored << 8 | record[i];
  if (XXH3_64bits(contents.data(), contents.size()) != stored) return std::nullopt;
  return contents;
}

std::optional<AliasRecord> parse_alias_file(std::span<const uint8_t> file) {
  if (file.size() != kAliasFileBytes || std::memcmp(file.data(), kMagicVnf4, 4) != 0) return std::nullopt;
  const std::optional<std::span<const uint8_t>> checked = checked_contents(file);
  if (!checked) return std::nullopt;
  const std::span<const uint8_t> bytes = *checked;
  AliasRecord a;
  a.key = FrameKey{static_cast<int32_t>(load_u32_le(&bytes[4])), load_u32_le(&bytes[8])};
  a.time = load_f64_le(&bytes[12]);
  a.target = FrameKey{static_cast<int32_t>(load_u32_le(&bytes[20])), load_u32_le(&bytes[24])};
  if (a.key.scale == 0 || a.target.scale == 0 || !std::isfinite(a.time)) return std::nullopt;
  return a;
}

std::optional<DecodedFrame> parse_frame_file(std::span<const uint8_t> file) {
  if (file.size() < 4 || file.size() > kMaxFrameFileBytes) return std::nullopt;
  const bool vnf3 = std::memcmp(file.data(), kMagicVnf3, 4) == 0;
  if (!vnf3 && std::memcmp(file.data(), kMagicVnf2, 4) != 0) return std::nullopt;
  const std::optional<std::span<const uint8_t>> checked = checked_contents(file);
  if (!checked) return std::nullopt;
  const std::span<const uint8_t> bytes = *checked;
  if (bytes.size() < kFrameHeaderBytes) return std::nullopt;
  DecodedFrame head;
  head.key = FrameKey{static_cast<int32_t>(load_u32_le(&bytes[4])), load_u32_le(&bytes[8])};
  if (head.key.scale == 0) return std::nullopt;
  head.width = load_u32_le(&bytes[12]);
  head.height = load_u32_le(&bytes[16]);
  head.time = load_f64_le(&bytes[20]);
  const uint32_t payload_len = load_u32_le(&bytes[28]);
  if (payload_len != bytes.size() - kFrameHeaderBytes || !std::isfinite(head.time)) return std::nullopt;
  const std::optional<uint64_t> raw = raw_frame_bytes(head.width, head.height);
  if (!raw) return std::nullopt;
  const std::span<const uint8_t> payload = bytes.subspan(kFrameHeaderBytes);
  return vnf3 ? decode_vnf3(payload, std::move(head), *raw) : decode_vnf2(payload, std::move(head), *raw);
}

bool lz4_block_decodes_to(std::span<const uint8_t> block, uint64_t raw_len) {
  size_t pos = 0;
  uint64_t out = 0;
  for (;;) {
    if (pos >= block.size()) return false;  // no token: an empty block, or one ending right after a match
    const uint8_t token = block[pos++];
    uint64_t literals = token >> 4;
    if (literals == 15 && !extend_length(block, pos, literals, raw_len)) return false;
    if (literals > block.size() - pos || out + literals > raw_len) return false;
    pos += literals;
    out += literals;
    if (pos == block.size()) return out == raw_len;
    if (block.size() - pos < 2) return false;
    const uint32_t offset = static_cast<uint32_t>(block[pos]) | static_cast<uint32_t>(block[pos + 1]) << 8;
    pos += 2;
    if (offset == 0 || offset > out) return false;
    uint64_t match = token & 15;
    if (match == 15 && !extend_length(block, pos, match, raw_len)) return false;
    match += 4;
    if (out + match > raw_len) return false;
    out += match;
  }
}

std::optional<std::vector<uint8_t>> pack_frame_payload(const RgbaFrame& frame) {
  const std::optional<uint64_t> raw = raw_frame_bytes(frame.width, frame.height);
  if (!raw || *raw != frame.pixels.size()) return std::nullopt;
  return pack_pixels(frame.pixels.bytes());
}

}  // namespace vel
