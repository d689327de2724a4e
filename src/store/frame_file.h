// The bytes of a frame file, without touching the disk:
//
//   VNF3  32-byte header (magic, i32 value, u32 scale ≠ 0, u32 width,
//         u32 height, f64 seconds, u32 payload length = file size − 32),
//         then the packed payload: u32 raw length (width × height × 4) and
//         one LZ4 block decoding to exactly that many bytes of RGBA8.
//   VNF2  the same header, then width × height × 3 bytes of plain RGB; read
//         as opaque RGBA, never written.
//   VNF4  28 bytes: magic, i32 value, u32 scale, f64 seconds, i32 target
//         value, u32 target scale. An alias: the pixels are the target's.
//
// Every file ends with a 12-byte check record: the XXH3-64 of every byte
// before it (u64), then the ASCII tag "VNC1". A byte changed anywhere, on
// disk or in a copy, makes the file fail its check and count as absent, so
// the frame is made again instead of shown wrong. Files of the earlier
// layout, which ended with the payload or the alias record, lack the tag
// (and their payload length no longer matches the file size): they are
// refused as older and written again.
//
// Every integer is little-endian; the seconds are an IEEE 754 double.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "cache/frame_key.h"
#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

inline constexpr size_t kFrameHeaderBytes = 32;
inline constexpr size_t kFrameCheckBytes = 12;
inline constexpr size_t kAliasRecordBytes = 28;
inline constexpr size_t kAliasFileBytes = kAliasRecordBytes + kFrameCheckBytes;
inline constexpr uint64_t kMaxRawFrameBytes = 0x10000000;       // 256 MiB of RGBA8
inline constexpr uint64_t kMaxPackedPayloadBytes = 0x10101030;  // largest payload a writer writes
// The largest file a reader reads: header, the largest payload, check record.
inline constexpr uint64_t kMaxFrameFileBytes = kFrameHeaderBytes + kMaxPackedPayloadBytes + kFrameCheckBytes;

// width × height × 4 when it lies in [1, 256 MiB]; none otherwise.
std::optional<uint64_t> raw_frame_bytes(uint32_t width, uint32_t height);

struct DecodedFrame {
  FrameKey key;  // as read from the header; the caller compares it with the key it asked for
  PixelPayload pixels;
  double time = 0.0;
  uint32_t width = 0;
  uint32_t height = 0;
};

struct AliasRecord {
  FrameKey key;
  double time = 0.0;
  FrameKey target;
};

using FrameHeader = std::array<uint8_t, kFrameHeaderBytes>;

// The VNF3 header of a frame with a payload of `payload_len` bytes.
FrameHeader vnf3_header(FrameKey key, uint32_t width, uint32_t height, double time, uint32_t payload_len);

// The 28 bytes of a VNF4 alias record, without its check record.
std::array<uint8_t, kAliasRecordBytes> vnf4_bytes(FrameKey key, double time, FrameKey target);

using FrameCheck = std::array<uint8_t, kFrameCheckBytes>;

// The check record that ends a file whose bytes before it are `parts`, in
// order.
FrameCheck frame_check(std::initializer_list<std::span<const uint8_t>> parts);

// The bytes of a whole file before its check record, when the file ends
// with a check record that matches them; none otherwise (too short, no tag:
// an older file, or a hash that disagrees: a changed byte).
std::optional<std::span<const uint8_t>> checked_contents(std::span<const uint8_t> file);

// An alias when `bytes` are exactly 40 (the record and its check), begin
// with "VNF4", pass the check, and hold two scales other than 0 and a
// finite time; none otherwise.
std::optional<AliasRecord> parse_alias_file(std::span<const uint8_t> bytes);

// The frame of a whole VNF3 or VNF2 file; none at the first failed check
// (size, magic, check record, scale, payload length, finite time,
// dimensions, payload form, exact decoded length). VNF4 is never accepted
// here. Decoded VNF3 pixels come from the pixel buffer pool; a buffer of a
// rejected frame is freed, not pooled. Reads nothing outside `bytes`.
std::optional<DecodedFrame> parse_frame_file(std::span<const uint8_t> bytes);

// Whether `block`, one LZ4 block, would decode to exactly `raw_len` bytes
// without reading past its end or copying from before the start of its
// output. Decodes nothing.
bool lz4_block_decodes_to(std::span<const uint8_t> block, uint64_t raw_len);

// The packed payload of a raw frame (the RAM cache's form); none when the
// dimensions disagree with the pixels or lie outside the limits, or packing
// fails.
std::optional<std::vector<uint8_t>> pack_frame_payload(const RgbaFrame& frame);

// Little-endian field readers over bytes the caller has bounded.
uint32_t load_u32_le(const uint8_t* p);
double load_f64_le(const uint8_t* p);

}  // namespace vel
