#include "tga_writer.h"

#include <array>
#include <cstring>

namespace sim {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// Stored order of one pixel: blue, green, red, alpha (straight).
void stored_pixel(const uint8_t* premultiplied, uint8_t out[4]) {
  uint8_t straight[4];
  unpremultiply_pixel(premultiplied, straight);
  out[0] = straight[2];
  out[1] = straight[1];
  out[2] = straight[0];
  out[3] = straight[3];
}

// Packets of up to 128 pixels within one row: a repeat packet for runs of
// two or more equal pixels, literal packets for the rest.
void encode_rle_row(const std::vector<std::array<uint8_t, 4>>& row, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < row.size()) {
    size_t run = 1;
    while (i + run < row.size() && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 2) {
      out.push_back(static_cast<uint8_t>(0x80 | (run - 1)));
      out.insert(out.end(), row[i].begin(), row[i].end());
      i += run;
      continue;
    }
    size_t lit = 1;
    while (i + lit < row.size() && lit < 128 && !(i + lit + 1 < row.size() && row[i + lit] == row[i + lit + 1])) ++lit;
    out.push_back(static_cast<uint8_t>(lit - 1));
    for (size_t k = 0; k < lit; ++k) out.insert(out.end(), row[i + k].begin(), row[i + k].end());
    i += lit;
  }
}

}  // namespace

std::vector<uint8_t> encode_tga(const FrameImage& image, const TgaWriteOptions& options) {
  std::vector<uint8_t> out;
  const size_t w = static_cast<size_t>(image.width), h = static_cast<size_t>(image.height);
  out.reserve(18 + w * h * 4 + 495 + 26);
  out.push_back(0);                               // no image id
  out.push_back(0);                               // no colour map
  out.push_back(options.run_length ? 10 : 2);     // true colour
  out.insert(out.end(), 5, 0);                    // colour map fields (unused)
  put16(out, 0);                                  // x origin
  put16(out, 0);                                  // y origin
  put16(out, static_cast<uint32_t>(w));
  put16(out, static_cast<uint32_t>(h));
  out.push_back(32);
  out.push_back(8);  // 8 alpha bits, rows from the bottom, left to right
  std::vector<std::array<uint8_t, 4>> row(w);
  for (size_t y = h; y-- > 0;) {
    for (size_t x = 0; x < w; ++x) {
      uint8_t px[4];
      stored_pixel(&image.rgba[(y * w + x) * 4], px);
      std::memcpy(row[x].data(), px, 4);
    }
    if (options.run_length) {
      encode_rle_row(row, out);
    } else {
      for (const auto& px : row) out.insert(out.end(), px.begin(), px.end());
    }
  }
  if (!options.with_footer) return out;
  const uint32_t extension_offset = static_cast<uint32_t>(out.size());
  std::vector<uint8_t> extension(495, 0);
  extension[0] = 495 & 0xFF;
  extension[1] = 495 >> 8;
  const char software[] = "simhost aerender";
  std::memcpy(&extension[426], software, sizeof software - 1);
  extension[494] = 3;  // straight alpha
  out.insert(out.end(), extension.begin(), extension.end());
  put32(out, extension_offset);
  put32(out, 0);  // no developer directory
  const char signature[] = "TRUEVISION-XFILE.";
  out.insert(out.end(), signature, signature + sizeof signature);  // with its zero byte
  return out;
}

}  // namespace sim
