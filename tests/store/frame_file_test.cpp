#include "store/frame_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "store/frame_file_io.h"
#include "store/store_names.h"
#include "store/store_test_support.h"

namespace vel {
namespace {

using test::file_bytes;
using test::pattern_frame;
using test::put_file;
using test::sealed;

// Header and payload of a VNF3, without the check record.
std::vector<uint8_t> vnf3_contents(FrameKey key, const RgbaFrame& f) {
  std::vector<uint8_t> payload = *pack_frame_payload(f);
  FrameHeader h = vnf3_header(key, f.width, f.height, f.time, static_cast<uint32_t>(payload.size()));
  std::vector<uint8_t> out(h.begin(), h.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}
std::vector<uint8_t> vnf3_file(FrameKey key, const RgbaFrame& f) { return sealed(vnf3_contents(key, f)); }

void put_u32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_f64(std::vector<uint8_t>& b, size_t at, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(bits >> (8 * i));
}

TEST(FrameFile, Vnf3HeaderLayoutIsByteExact) {
  const RgbaFrame f = pattern_frame(3, 2, 9, 1.25);
  const std::vector<uint8_t> file = vnf3_file({-48, 24}, f);
  const uint8_t expect_head[20] = {'V', 'N', 'F', '3', 0xD0, 0xFF, 0xFF, 0xFF, 24, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0};
  EXPECT_EQ(std::memcmp(file.data(), expect_head, 20), 0);
  EXPECT_EQ(load_f64_le(&file[20]), 1.25);
  EXPECT_EQ(load_u32_le(&file[28]), file.size() - 32 - 12);
  EXPECT_EQ(load_u32_le(&file[32]), 3u * 2 * 4);  // the payload's raw length prefix
  EXPECT_EQ(std::memcmp(&file[file.size() - 4], "VNC1", 4), 0) << "the check record's tag ends the file";
}

TEST(FrameFile, OnePixelFrameRoundTrips) {
  const RgbaFrame f = pattern_frame(1, 1, 3, 2.0);
  auto d = parse_frame_file(vnf3_file({48, 24}, f));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->key, (FrameKey{48, 24}));
  EXPECT_EQ(d->width, 1u);
  EXPECT_EQ(d->height, 1u);
  EXPECT_EQ(d->time, 2.0);
  ASSERT_EQ(d->pixels.size(), 4u);
  EXPECT_EQ(std::memcmp(d->pixels.data(), f.pixels.data(), 4), 0);
}

// A VNF2 of 2 × 1 pixels whose payload is the bytes 1, 2, 3, … up to `len`.
std::vector<uint8_t> vnf2_contents(uint32_t len) {
  std::vector<uint8_t> file(32 + len);
  std::memcpy(file.data(), "VNF2", 4);
  put_u32(file, 4, 5);
  put_u32(file, 8, 30);
  put_u32(file, 12, 2);
  put_u32(file, 16, 1);
  put_f64(file, 20, 0.5);
  put_u32(file, 28, len);
  for (uint32_t i = 0; i < len; ++i) file[32 + i] = static_cast<uint8_t>(i + 1);
  return file;
}
std::vector<uint8_t> vnf2_file(uint32_t len) { return sealed(vnf2_contents(len)); }

TEST(FrameFile, Vnf2ExpandsToOpaqueRgba) {
  const std::vector<uint8_t> file = vnf2_file(6);
  auto d = parse_frame_file(file);
  ASSERT_TRUE(d);
  const std::vector<uint8_t> want = {1, 2, 3, 255, 4, 5, 6, 255};
  EXPECT_EQ(std::vector<uint8_t>(d->pixels.data(), d->pixels.data() + 8), want);
}

// Each field spoiled in a file whose check record is then made to match,
// as a writer with a defect would leave it: the field checks stand alone.
TEST(FrameFile, ParserRejectsEveryBrokenField) {
  const std::vector<uint8_t> good = vnf3_contents({7, 24}, pattern_frame(8, 4, 5));
  ASSERT_TRUE(parse_frame_file(sealed(good)));
  struct Row {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> spoil;
  };
  const Row rows[] = {
      {"three bytes", [](auto& b) { b.resize(3); }},
      {"unknown magic", [](auto& b) { b[3] = '5'; }},
      {"alias magic", [](auto& b) { b[3] = '4'; }},
      {"shorter than a header", [](auto& b) { b.resize(31); }},
      {"scale 0", [](auto& b) { put_u32(b, 8, 0); }},
      {"payload length one short", [](auto& b) { put_u32(b, 28, static_cast<uint32_t>(b.size() - 33)); }},
      {"payload length one long", [](auto& b) { put_u32(b, 28, static_cast<uint32_t>(b.size() - 31)); }},
      {"time NaN", [](auto& b) { put_f64(b, 20, std::nan("")); }},
      {"time infinite", [](auto& b) { put_f64(b, 20, -INFINITY); }},
      {"width 0", [](auto& b) { put_u32(b, 12, 0); }},
      {"over 256 MiB of pixels", [](auto& b) { put_u32(b, 12, 16385), put_u32(b, 16, 4096); }},
      {"raw length overflowing 32 bits", [](auto& b) { put_u32(b, 12, 65536), put_u32(b, 16, 65536); }},
      {"prefix disagrees", [](auto& b) { put_u32(b, 32, 8 * 4 * 4 + 4); }},
      {"other dimensions, same raw length", [](auto& b) { put_u32(b, 12, 4), put_u32(b, 16, 8); }},  // decodes, still accepted
      {"truncated block", [](auto& b) { b.pop_back(), put_u32(b, 28, static_cast<uint32_t>(b.size() - 32)); }},
      {"payload shorter than its prefix", [](auto& b) { b.resize(34), put_u32(b, 28, 2); }},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> b = good;
    r.spoil(b);
    const bool accepted = parse_frame_file(sealed(b)).has_value();
    EXPECT_EQ(accepted, std::string(r.what) == "other dimensions, same raw length") << r.what;
  }
}

// One changed byte anywhere, a file cut or extended by one byte, and the
// files of the earlier layout (no check record) are all refused: none is
// ever taken for the frame it was.
TEST(FrameFile, AnyChangedByteAndEveryOlderFileAreRefused) {
  const std::vector<uint8_t> frame = vnf3_file({7, 24}, pattern_frame(8, 4, 5));
  const std::vector<uint8_t> alias = test::alias_file({5, 24}, 0.2, {4, 24});
  ASSERT_TRUE(parse_frame_file(frame));
  ASSERT_TRUE(parse_alias_file(alias));
  for (size_t i = 0; i < frame.size(); ++i) {
    for (uint8_t bit : {0x01, 0x80}) {
      std::vector<uint8_t> b = frame;
      b[i] ^= bit;
      EXPECT_FALSE(parse_frame_file(b)) << "frame byte " << i;
    }
  }
  for (size_t i = 0; i < alias.size(); ++i) {
    std::vector<uint8_t> b = alias;
    b[i] ^= 0x04;
    EXPECT_FALSE(parse_alias_file(b)) << "alias byte " << i;
  }
  struct Row {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const auto record = vnf4_bytes({5, 24}, 0.2, {4, 24});
  const Row older[] = {
      {"VNF3 without check", vnf3_contents({7, 24}, pattern_frame(8, 4, 5))},
      {"VNF2 without check", vnf2_contents(6)},
      {"VNF4 of 28 bytes", std::vector<uint8_t>(record.begin(), record.end())},
      {"frame cut by one", std::vector<uint8_t>(frame.begin(), frame.end() - 1)},
      {"frame with one more byte", [&] { auto b = frame; b.push_back(0); return b; }()},
      {"alias with one more byte", [&] { auto b = alias; b.push_back(0); return b; }()},
  };
  for (const Row& r : older) {
    EXPECT_FALSE(parse_frame_file(r.bytes)) << r.what;
    EXPECT_FALSE(parse_alias_file(r.bytes)) << r.what;
  }
}

TEST(FrameFile, Vnf2PayloadMustBeExactlyThreeBytesAPixel) {
  EXPECT_FALSE(parse_frame_file(vnf2_file(7)));
  EXPECT_FALSE(parse_frame_file(vnf2_file(5)));
}

TEST(FrameFile, AliasIsNeverAFrameAndParsesOnlyWhole) {
  std::vector<uint8_t> b = test::alias_file({5, 24}, 0.2, {4, 24});
  EXPECT_FALSE(parse_frame_file(b));
  auto a = parse_alias_file(b);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->target, (FrameKey{4, 24}));
  const auto record = vnf4_bytes({5, 24}, 0.2, {4, 24});
  std::vector<uint8_t> longer(record.begin(), record.end());
  longer.push_back(0);
  EXPECT_FALSE(parse_alias_file(sealed(longer))) << "29 bytes before the check";
  EXPECT_FALSE(parse_alias_file(sealed(std::vector<uint8_t>(record.begin(), record.begin() + 27))));
  EXPECT_FALSE(parse_alias_file(test::alias_file({5, 0}, 0.2, {4, 24})));
  EXPECT_FALSE(parse_alias_file(test::alias_file({5, 24}, 0.2, {4, 0})));
  EXPECT_FALSE(parse_alias_file(test::alias_file({5, 24}, INFINITY, {4, 24})));
}

// Hand-made LZ4 blocks for a raw length of 8: a token, literals, a match.
TEST(FrameFile, PackedWritesRefuseBlocksThatLeaveTheirBounds) {
  testing::ScratchDir dir;
  const FrameKey key{1, 24};
  auto packed = [](std::vector<uint8_t> block, uint32_t prefix = 8) {
    std::vector<uint8_t> p = {static_cast<uint8_t>(prefix), 0, 0, 0};
    p.insert(p.end(), block.begin(), block.end());
    return PackedFrame{2, 1, 0.0, PixelPayload::adopt(std::move(p))};
  };
  struct Row {
    const char* what;
    PackedFrame frame;
    bool accepted;
  };
  const Row rows[] = {
      {"eight literals", packed({0x80, 1, 2, 3, 4, 5, 6, 7, 8}), true},
      {"literal, match of 4, three literals", packed({0x10, 9, 1, 0, 0x30, 1, 2, 3}), true},
      {"prefix disagrees", packed({0x80, 1, 2, 3, 4, 5, 6, 7, 8}, 9), false},
      {"block ends right after a match", packed({0x14, 9, 1, 0}), false},
      {"match offset 0", packed({0x10, 9, 0, 0, 0x30, 1, 2, 3}), false},
      {"match before the output's start", packed({0x10, 9, 2, 0, 0x30, 1, 2, 3}), false},
      {"one byte short of the raw length", packed({0x70, 1, 2, 3, 4, 5, 6, 7}), false},
      {"literals past the block", packed({0x90, 1, 2, 3}), false},
      {"empty block", packed({}), false},
      {"literal run length runs out", packed({0xF0, 255}), false},
  };
  for (const Row& r : rows) {
    auto written = write_packed_frame_file(dir.path(), key, r.frame);
    EXPECT_EQ(written.has_value(), r.accepted) << r.what;
    EXPECT_EQ(frame_file_exists(dir.path(), key), r.accepted) << r.what;
    std::filesystem::remove(dir.path() / frame_file_name(key));
  }
}

TEST(FrameFile, WritesGoThroughATemporaryNameAndLeaveNoneBehind) {
  testing::ScratchDir dir;
  const RgbaFrame f = pattern_frame(16, 9, 2, 0.5);
  auto n = write_raw_frame_file(dir.path() / "a" / "b", {12, 24}, f);
  ASSERT_TRUE(n);
  const auto bytes = file_bytes(dir.path() / "a" / "b" / "v12_s24.vnf");
  EXPECT_EQ(bytes.size(), *n);
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path() / "a" / "b")) ++entries;
  EXPECT_EQ(entries, 1u) << "no temporary file stays";
  auto d = parse_frame_file(bytes);
  ASSERT_TRUE(d);
  EXPECT_EQ(std::memcmp(d->pixels.data(), f.pixels.data(), f.pixels.size()), 0);
  // Refused before touching the disk.
  EXPECT_FALSE(write_raw_frame_file(dir.path(), {1, 0}, f));
  EXPECT_FALSE(write_raw_frame_file(dir.path(), {1, 24}, pattern_frame(16, 9, 2, NAN)));
  EXPECT_FALSE(write_alias_file(dir.path(), {1, 24}, 0.0, {0, 0}));
  EXPECT_FALSE(frame_file_exists(dir.path(), {1, 24}));
}

}  // namespace
}  // namespace vel
