#include "pool/decode/frame_file_bounds.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pool/decode/frame_ingest.h"
#include "pool/decode/image_bytes.h"
#include "pool/decode/process_reads.h"
#include "psd_writer.h"
#include "support/scratch_dir.h"
#include "tga_writer.h"
#include "pool/decode/file_bytes.h"

namespace vel {
namespace {

using testing::write_file;
namespace fs = std::filesystem;
using testing::Bytes;
using testing::bytes_read_by_process;
using testing::ScratchDir;

// Premultiplied pixels no encoder packs: each byte drawn at random.
sim::FrameImage noise_image(int w, int h, uint32_t seed) {
  std::mt19937 random(seed);
  sim::FrameImage image{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4)};
  for (size_t i = 0; i < image.rgba.size(); i += 4) {
    const uint8_t a = static_cast<uint8_t>(random());
    for (int c = 0; c < 3; ++c) image.rgba[i + c] = static_cast<uint8_t>(a == 0 ? 0 : random() % (a + 1u));
    image.rgba[i + 3] = a;
  }
  return image;
}

sim::FrameImage flat_image(int w, int h) {
  return sim::FrameImage{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 4, 128)};
}

struct Writer {
  const char* name;
  const char* extension;
  Bytes (*encode)(const sim::FrameImage&);
};

const Writer kWriters[] = {
    {"tga raw", "tga", [](const sim::FrameImage& i) { return sim::encode_tga(i, {}); }},
    {"tga rle", "tga", [](const sim::FrameImage& i) { return sim::encode_tga(i, {.run_length = true}); }},
    {"tga raw, no footer", "tga", [](const sim::FrameImage& i) { return sim::encode_tga(i, {.with_footer = false}); }},
    {"psd packbits 8", "psd", [](const sim::FrameImage& i) { return sim::encode_psd(i, {}); }},
    {"psd packbits 16", "psd", [](const sim::FrameImage& i) { return sim::encode_psd(i, {.depth = 16}); }},
    {"psd packbits 8 rgb", "psd",
     [](const sim::FrameImage& i) { return sim::encode_psd(i, {.alpha_channel = false}); }},
    {"psd raw 8", "psd", [](const sim::FrameImage& i) { return sim::encode_psd(i, {.packbits = false}); }},
    {"psd raw 16", "psd",
     [](const sim::FrameImage& i) { return sim::encode_psd(i, {.packbits = false, .depth = 16}); }},
    {"psd raw 16 rgb", "psd",
     [](const sim::FrameImage& i) {
       return sim::encode_psd(i, {.packbits = false, .depth = 16, .alpha_channel = false});
     }},
};

class FrameFileBounds : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  ScratchDir dir_{"vel-bounds"};
};

// Every file the stand-in renderer writes, in every variant, of pixels that
// pack well or not at all, lies within its batch's bound and is taken.
TEST_F(FrameFileBounds, EveryFrameTheWorkersWriteIsWithinTheBoundAndDecodes) {
  const struct {
    int w, h;
  } sizes[] = {{1, 1}, {7, 3}, {97, 61}, {320, 180}};
  struct Written {
    std::string what;
    fs::path file;
    size_t bytes;
    FrameDimensions asked;
  };
  std::vector<Written> written;
  for (const Writer& writer : kWriters) {
    for (const auto& size : sizes) {
      for (const bool noise : {false, true}) {
        const std::string what = std::string(writer.name) + " " + std::to_string(size.w) + "x" +
                                 std::to_string(size.h) + (noise ? " noise" : " flat");
        const sim::FrameImage image = noise ? noise_image(size.w, size.h, 7) : flat_image(size.w, size.h);
        const Bytes bytes = writer.encode(image);
        const FrameDimensions asked{static_cast<uint32_t>(size.w), static_cast<uint32_t>(size.h)};
        EXPECT_LE(bytes.size(), frame_file_byte_limit(writer.extension[0] == 't', asked)) << what;
        const fs::path file =
            dir_.path() / ("f_" + std::to_string(written.size()) + "." + writer.extension);
        write_file(file, bytes);
        written.push_back({what, file, bytes.size(), asked});
      }
    }
  }
  for (const Written& w : written) {
    const DecodedOutput out = ingest_frame_file(w.file, 0.0, 1, true, w.asked);
    EXPECT_EQ(out.outcome, FileDecodeOutcome::Decoded) << w.what;
    EXPECT_EQ(out.file_bytes, w.bytes) << w.what;
  }
}

// The most a valid file can take, of each encoding the readers accept, with
// its metadata grown to fill the bound: taken at the bound, refused unread
// one byte past it.
constexpr uint32_t kW = 61, kH = 23;

// Targa with the longest image ID, a run-length packet for every pixel (or
// raw pixels), then `padding` bytes, the extension area and the footer.
Bytes targa_at_most(bool run_length, size_t padding) {
  Bytes b = testing::tga_header({.id_length = 255, .image_type = static_cast<uint8_t>(run_length ? 10 : 2),
                                 .width = kW, .height = kH});
  for (uint32_t i = 0; i < kW * kH; ++i) {
    if (run_length) b.push_back(0);  // a literal of one pixel
    b.insert(b.end(), {static_cast<uint8_t>(i), 20, 30, 255});
  }
  b.insert(b.end(), padding, 0);
  testing::tga_append_footer(b, 3);
  return b;
}

// Photoshop of four 16-bit channels, raw or with every byte a PackBits
// literal of its own, `padding` bytes of image resources before them.
Bytes photoshop_at_most(bool packbits, size_t padding) {
  Bytes b{'8', 'B', 'P', 'S'};
  testing::be16(b, 1);
  b.insert(b.end(), 6, 0);
  testing::be16(b, 4);
  testing::be32(b, kH);
  testing::be32(b, kW);
  testing::be16(b, 16);
  testing::be16(b, 3);
  testing::be32(b, 0);
  testing::be32(b, static_cast<uint32_t>(padding));
  b.insert(b.end(), padding, 0);
  testing::be32(b, 0);
  testing::be16(b, packbits ? 1 : 0);
  const uint32_t row_bytes = kW * 2;
  if (packbits) {
    for (uint32_t r = 0; r < 4 * kH; ++r) testing::be16(b, row_bytes * 2);
  }
  for (uint32_t r = 0; r < 4 * kH; ++r) {
    for (uint32_t x = 0; x < row_bytes; ++x) {
      if (packbits) b.push_back(0);
      b.push_back(static_cast<uint8_t>(r + x));
    }
  }
  return b;
}

TEST_F(FrameFileBounds, AFileAtTheBoundIsTakenAndOneBytePastItIsRefusedUnread) {
  const FrameDimensions asked{kW, kH};
  const struct Case {
    const char* what;
    bool targa;
    Bytes (*make)(size_t padding);
  } cases[] = {
      {"targa, raw", true, [](size_t p) { return targa_at_most(false, p); }},
      {"targa, a packet a pixel", true, [](size_t p) { return targa_at_most(true, p); }},
      {"photoshop, raw 16 bits", false, [](size_t p) { return photoshop_at_most(false, p); }},
      {"photoshop, a literal a byte, 16 bits", false, [](size_t p) { return photoshop_at_most(true, p); }},
  };
  for (const Case& c : cases) {
    const uint64_t limit = frame_file_byte_limit(c.targa, asked);
    const size_t bare = c.make(0).size();
    ASSERT_LE(bare, limit) << c.what;
    ASSERT_LE(limit, 3 * bare + kFrameFileMetadataBytes) << c.what << ": a bound of the frame's order";
    const fs::path file = dir_.path() / (c.targa ? "f_00002.tga" : "f_00002.psd");
    for (const uint64_t size : {limit, limit + 1}) {
      const Bytes bytes = c.make(static_cast<size_t>(size - bare));
      ASSERT_EQ(bytes.size(), size) << c.what;
      write_file(file, bytes);
      const uint64_t read_before = bytes_read_by_process();
      const DecodedOutput out = ingest_frame_file(file, 0.0, 1, true, asked);
      const uint64_t read = bytes_read_by_process() - read_before;
      if (size == limit) {
        EXPECT_EQ(out.outcome, FileDecodeOutcome::Decoded) << c.what;
        EXPECT_FALSE(out.undecodable) << c.what;
      } else {
        EXPECT_EQ(out.outcome, FileDecodeOutcome::Oversize) << c.what;
        EXPECT_LE(out.file_bytes, kFrameFileHeadBytes) << c.what;
        EXPECT_LT(read, size / 2) << c.what << ": read past its head";
        EXPECT_TRUE(out.undecodable) << c.what;
      }
    }
  }
}

// A file sized ahead and never filled, or a frame followed by a hole, of
// 400 MiB: refused with no more read of it than its head, in the time of a
// look at the file; a head of another size still tells that size, and names
// the file so that it goes.
TEST_F(FrameFileBounds, AFileOfHundredsOfMegabytesIsRefusedWithoutReadingIt) {
  constexpr off_t kBig = off_t{400} << 20;
  const FrameDimensions asked{64, 36};
  const struct Case {
    const char* what;
    const char* name;
    Bytes start;
    FileDecodeOutcome outcome;
  } cases[] = {
      {"a hole, as Targa", "f_00003.tga", {}, FileDecodeOutcome::Oversize},
      {"a hole, as Photoshop", "f_00003.psd", {}, FileDecodeOutcome::Oversize},
      {"a Targa frame, then a hole", "f_00004.tga", sim::encode_tga(flat_image(64, 36), {.with_footer = false}),
       FileDecodeOutcome::Oversize},
      {"a Photoshop frame, then a hole", "f_00004.psd",
       sim::encode_psd(flat_image(64, 36), {.packbits = false}), FileDecodeOutcome::Oversize},
      {"a Targa frame of another size, then a hole", "f_00005.tga",
       sim::encode_tga(flat_image(128, 72), {.with_footer = false}), FileDecodeOutcome::ForeignSize},
      {"a Photoshop frame of another size, then a hole", "f_00005.psd",
       sim::encode_psd(flat_image(128, 72), {}), FileDecodeOutcome::ForeignSize},
  };
  for (const Case& c : cases) {
    const fs::path file = dir_.path() / c.name;
    write_file(file, c.start);
    ASSERT_EQ(::truncate(file.c_str(), kBig), 0) << c.what;
    const uint64_t read_before = bytes_read_by_process();
    const DecodedOutput out = ingest_frame_file(file, 0.0, 1, true, asked);
    const uint64_t read = bytes_read_by_process() - read_before;
    EXPECT_EQ(out.outcome, c.outcome) << c.what;
    EXPECT_FALSE(out.frame) << c.what;
    EXPECT_LE(out.file_bytes, kFrameFileHeadBytes) << c.what;
    EXPECT_LT(read, uint64_t{1} << 20) << c.what;
    if (c.outcome == FileDecodeOutcome::ForeignSize) {
      EXPECT_EQ(out.foreign_size, (FrameDimensions{128, 72})) << c.what;
      EXPECT_TRUE(out.file_read) << c.what << ": the file is named for removal";
    } else {
      EXPECT_TRUE(out.undecodable) << c.what << ": its next try need not look inside";
    }
  }
}

TEST(FrameFileByteLimit, GrowsWithTheFrameAndStopsAtTheCeiling) {
  struct Case {
    bool targa;
    std::optional<FrameDimensions> size;
    uint64_t limit;
  } cases[] = {
      {true, FrameDimensions{1920, 1080}, 1920ull * 1080 * 5 + 18 + 255 + 495 + 26 + kFrameFileMetadataBytes},
      {false, FrameDimensions{1920, 1080}, 1920ull * 1080 * 16 + 1080 * 8 + 40 + kFrameFileMetadataBytes},
      {true, FrameDimensions{1, 1}, 5 + 794 + kFrameFileMetadataBytes},
      {false, FrameDimensions{30000, 30000}, kFrameFileReadCeiling},
      {true, FrameDimensions{UINT32_MAX, UINT32_MAX}, kFrameFileReadCeiling},
      {true, std::nullopt, kFrameFileReadCeiling},
      {false, FrameDimensions{0, 1080}, kFrameFileReadCeiling},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(frame_file_byte_limit(c.targa, c.size), c.limit)
        << c.targa << " " << (c.size ? c.size->width : 0) << "x" << (c.size ? c.size->height : 0);
  }
}

TEST(StatedFrameSize, ReadFromTheFixedHeaderOfEitherFormat) {
  const Bytes tga = testing::tga_header({.width = 640, .height = 360});
  const Bytes psd = testing::psd_header({.width = 640, .height = 360});
  struct Case {
    const char* what;
    Bytes head;
    bool targa;
    std::optional<FrameDimensions> size;
  } cases[] = {
      {"targa", tga, true, FrameDimensions{640, 360}},
      {"photoshop", psd, false, FrameDimensions{640, 360}},
      {"targa read as photoshop", tga, false, std::nullopt},
      {"photoshop read as targa", psd, true, std::nullopt},
      {"targa cut short", Bytes(tga.begin(), tga.begin() + 17), true, std::nullopt},
      {"photoshop cut short", Bytes(psd.begin(), psd.begin() + 25), false, std::nullopt},
      {"colour-mapped targa", testing::tga_header({.map_type = 1, .width = 4, .height = 4}), true, std::nullopt},
      {"targa of 16 bits", testing::tga_header({.width = 4, .height = 4, .depth = 16}), true, std::nullopt},
      {"targa of width 0", testing::tga_header({.width = 0, .height = 4}), true, std::nullopt},
      {"photoshop version 2", testing::psd_header({.version = 2, .width = 4, .height = 4}), false, std::nullopt},
      {"photoshop in CMYK", testing::psd_header({.width = 4, .height = 4, .mode = 4}), false, std::nullopt},
      {"photoshop 30001 wide", testing::psd_header({.width = 30001, .height = 4}), false, std::nullopt},
      {"zeros", Bytes(32, 0), true, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(stated_frame_size(c.head, c.targa), c.size) << c.what;
}

}  // namespace
}  // namespace vel
