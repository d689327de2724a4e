#include "psd_writer.h"

namespace sim {

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v >> 16);
  put16(out, v & 0xFFFF);
}

// Row y of channel c (R, G, B, A) in stored samples: straight colour beside
// an alpha channel, the rendered (premultiplied) colour without one; the
// caller hands in the image whose samples are stored.
void channel_row(const FrameImage& stored, int channel, size_t y, const PsdWriteOptions& options,
                 std::vector<uint8_t>& row) {
  const size_t w = static_cast<size_t>(stored.width);
  const size_t bytes = options.depth == 16 ? 2 : 1;
  row.resize(w * bytes);
  const uint8_t* src = &stored.rgba[y * w * 4 + static_cast<size_t>(channel)];
  uint8_t* dst = row.data();
  if (bytes == 1) {
    for (size_t x = 0; x < w; ++x) dst[x] = src[x * 4];
    return;
  }
  for (size_t x = 0; x < w; ++x) dst[2 * x] = dst[2 * x + 1] = src[x * 4];  // v × 257, big-endian
}

}  // namespace

void pack_bits_row(const uint8_t* row, size_t length, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < length) {
    size_t run = 1;
    while (i + run < length && run < 128 && row[i + run] == row[i]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<uint8_t>(static_cast<int8_t>(1 - static_cast<int>(run))));
      out.push_back(row[i]);
      i += run;
      continue;
    }
    size_t lit = 0;
    while (i + lit < length && lit < 128) {
      if (i + lit + 2 < length && row[i + lit] == row[i + lit + 1] && row[i + lit] == row[i + lit + 2]) break;
      ++lit;
    }
    out.push_back(static_cast<uint8_t>(lit - 1));
    out.insert(out.end(), row + i, row + i + lit);
    i += lit;
  }
}

std::vector<uint8_t> encode_psd(const FrameImage& image, const PsdWriteOptions& options) {
  const size_t h = static_cast<size_t>(image.height);
  const int channels = options.alpha_channel ? 4 : 3;
  std::vector<uint8_t> out;
  out.insert(out.end(), {'8', 'B', 'P', 'S'});
  put16(out, 1);
  out.insert(out.end(), 6, 0);
  put16(out, channels);
  put32(out, static_cast<uint32_t>(image.height));
  put32(out, static_cast<uint32_t>(image.width));
  put16(out, static_cast<uint32_t>(options.depth));
  put16(out, 3);  // RGB
  put32(out, 0);  // colour mode data
  put32(out, 0);  // image resources
  put32(out, 0);  // layer and mask information
  put16(out, options.packbits ? 1 : 0);
  // Divided out once for the four channels, not once per channel.
  const FrameImage straight = options.alpha_channel ? straight_image(image) : FrameImage{};
  const FrameImage& stored = options.alpha_channel ? straight : image;
  std::vector<uint8_t> row;
  if (!options.packbits) {
    for (int c = 0; c < channels; ++c) {
      for (size_t y = 0; y < h; ++y) {
        channel_row(stored, c, y, options, row);
        out.insert(out.end(), row.begin(), row.end());
      }
    }
    return out;
  }
  const size_t table_at = out.size();
  out.resize(out.size() + channels * h * 2);
  std::vector<uint8_t> packed;
  for (int c = 0; c < channels; ++c) {
    for (size_t y = 0; y < h; ++y) {
      channel_row(stored, c, y, options, row);
      packed.clear();
      pack_bits_row(row.data(), row.size(), packed);
      const size_t entry = table_at + (c * h + y) * 2;
      out[entry] = static_cast<uint8_t>(packed.size() >> 8);
      out[entry + 1] = static_cast<uint8_t>(packed.size());
      out.insert(out.end(), packed.begin(), packed.end());
    }
  }
  return out;
}

}  // namespace sim
