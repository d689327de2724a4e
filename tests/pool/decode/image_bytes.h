// Hand-made Targa and Photoshop bytes for the decoder tests: every header
// field settable, so each refusal can be reached on its own.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace vel::testing {

using Bytes = std::vector<uint8_t>;

inline void le16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void be16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void be32(Bytes& b, uint32_t v) {
  be16(b, v >> 16);
  be16(b, v & 0xFFFF);
}

struct TgaSpec {
  uint8_t id_length = 0, map_type = 0, image_type = 2;
  uint16_t width = 1, height = 1;
  uint8_t depth = 32, descriptor = 8;
  uint8_t map_spec_byte = 0;  // put into the colour map fields when non-zero
};

inline Bytes tga_header(const TgaSpec& s) {
  Bytes b{s.id_length, s.map_type, s.image_type, 0, 0, 0, 0, s.map_spec_byte};
  le16(b, 0);
  le16(b, 0);
  le16(b, s.width);
  le16(b, s.height);
  b.push_back(s.depth);
  b.push_back(s.descriptor);
  b.insert(b.end(), s.id_length, 0xEE);
  return b;
}

// Appends an extension area of `attributes` type and the footer pointing to it.
inline void tga_append_footer(Bytes& b, int attributes /* -1: footer without extension */) {
  uint32_t ext = 0;
  if (attributes >= 0) {
    ext = static_cast<uint32_t>(b.size());
    Bytes e(495, 0);
    e[0] = 495 & 0xFF;
    e[1] = 495 >> 8;
    e[494] = static_cast<uint8_t>(attributes);
    b.insert(b.end(), e.begin(), e.end());
  }
  le16(b, ext & 0xFFFF);
  le16(b, ext >> 16);
  le16(b, 0);
  le16(b, 0);
  const char sig[] = "TRUEVISION-XFILE.";
  b.insert(b.end(), sig, sig + sizeof sig);
}

struct PsdSpec {
  uint16_t version = 1, channels = 3;
  uint32_t width = 1, height = 1;
  uint16_t depth = 8, mode = 3, compression = 0;
};

inline Bytes psd_header(const PsdSpec& s) {
  Bytes b{'8', 'B', 'P', 'S'};
  be16(b, s.version);
  b.insert(b.end(), 6, 0);
  be16(b, s.channels);
  be32(b, s.height);
  be32(b, s.width);
  be16(b, s.depth);
  be16(b, s.mode);
  be32(b, 0);
  be32(b, 0);
  be32(b, 0);
  be16(b, s.compression);
  return b;
}

}  // namespace vel::testing
