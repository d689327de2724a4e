// CachedFrame: the value of the cache index, raw pixels or an LZ4-packed copy.
// The packed payload is a u32 little-endian raw length (width × height × 4)
// followed by one LZ4 block decoding to exactly that many bytes; the disk
// store reads and writes the same form.
#pragma once

#include <cstdint>
#include <variant>

#include "cache/pixel_payload.h"
#include "cache/rgba_frame.h"

namespace vel {

struct PackedFrame {
  uint32_t width = 0;
  uint32_t height = 0;
  double time = 0.0;  // seconds, carried over unchanged from the raw frame
  PixelPayload packed;
};

struct CachedFrame {
  std::variant<RgbaFrame, PackedFrame> form;

  CachedFrame() = default;
  CachedFrame(RgbaFrame raw) : form(std::move(raw)) {}
  CachedFrame(PackedFrame packed) : form(std::move(packed)) {}

  bool is_raw() const { return form.index() == 0; }
  bool is_packed() const { return form.index() == 1; }
  RgbaFrame* raw() { return std::get_if<RgbaFrame>(&form); }
  const RgbaFrame* raw() const { return std::get_if<RgbaFrame>(&form); }
  PackedFrame* packed() { return std::get_if<PackedFrame>(&form); }
  const PackedFrame* packed() const { return std::get_if<PackedFrame>(&form); }

  // The payload the entry holds: the pixels of a raw entry, the packed bytes
  // of a packed one.
  const PixelPayload& payload() const { return is_raw() ? raw()->pixels : packed()->packed; }
  uint32_t width() const { return is_raw() ? raw()->width : packed()->width; }
  uint32_t height() const { return is_raw() ? raw()->height : packed()->height; }
  double time() const { return is_raw() ? raw()->time : packed()->time; }
};

}  // namespace vel
