#include "memout/segment_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace vel {
namespace {

// The other process only knows offsets: every field written through the
// view must land at its documented offset, little-endian, touching nothing
// else.
TEST(SegmentLayoutTest, EachFieldLandsAtItsOffset) {
  struct Case {
    const char* field;
    size_t offset;
    size_t width;
    std::function<void(const HeaderView&)> write;
  };
  const uint64_t v64 = 0x0102030405060708ull;
  auto record_with = [&](size_t word) {
    OutputFrameMeta m;
    uint64_t words[12] = {};
    words[word] = v64;
    std::memcpy(&m, words, sizeof words);
    return m;
  };
  const Case cases[] = {
      {"slot state", 32, 4, [](const HeaderView& h) { h.slot_state().store(0x01020304); }},
      {"closed", 36, 4, [](const HeaderView& h) { h.closed().store(0x01020304); }},
      {"producer attached", 40, 4, [](const HeaderView& h) { h.producer_attached().store(0x01020304); }},
      {"finished", 44, 4, [](const HeaderView& h) { h.finished().store(0x01020304); }},
      {"unlinked", 48, 4, [](const HeaderView& h) { h.unlinked().store(0x01020304); }},
      {"payload length", 56, 8, [&](const HeaderView& h) { h.write_payload_length(v64); }},
      {"frame", 64, 8, [&](const HeaderView& h) { h.write_record(record_with(0)); }},
      {"time value", 72, 8, [&](const HeaderView& h) { h.write_record(record_with(1)); }},
      {"time scale", 80, 8, [&](const HeaderView& h) { h.write_record(record_with(2)); }},
      {"width", 88, 8, [&](const HeaderView& h) { h.write_record(record_with(3)); }},
      {"height", 96, 8, [&](const HeaderView& h) { h.write_record(record_with(4)); }},
      {"mode", 104, 8, [&](const HeaderView& h) { h.write_record(record_with(5)); }},
      {"publish ns", 112, 8, [&](const HeaderView& h) { h.write_record(record_with(6)); }},
      {"slot wait", 120, 8, [&](const HeaderView& h) { h.write_record(record_with(7)); }},
      {"copy time", 128, 8, [&](const HeaderView& h) { h.write_record(record_with(8)); }},
      {"contract 1", 136, 8, [&](const HeaderView& h) { h.write_record(record_with(9)); }},
      {"contract 2", 144, 8, [&](const HeaderView& h) { h.write_record(record_with(10)); }},
      {"contract 3", 152, 8, [&](const HeaderView& h) { h.write_record(record_with(11)); }},
  };
  for (const Case& c : cases) {
    alignas(64) uint8_t buf[kSegmentHeaderBytes] = {};
    c.write(HeaderView(buf));
    for (size_t i = 0; i < sizeof buf; ++i) {
      uint8_t want = 0;
      if (i >= c.offset && i < c.offset + c.width) want = static_cast<uint8_t>(c.width - (i - c.offset));
      EXPECT_EQ(buf[i], want) << c.field << " byte " << i;
    }
  }
}

TEST(SegmentLayoutTest, IdentityAndZeroing) {
  alignas(64) uint8_t buf[kSegmentHeaderBytes];
  std::memset(buf, 0xAB, sizeof buf);
  const HeaderView h(buf);
  uint8_t token[16];
  for (int i = 0; i < 16; ++i) token[i] = static_cast<uint8_t>(0x10 + i);
  h.write_identity(token, 0x1122334455667788ull);
  h.zero_state_words();

  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 8), "VNXMEM01");
  EXPECT_EQ(0, std::memcmp(buf + 8, token, 16));
  const uint8_t capacity_le[8] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(0, std::memcmp(buf + 24, capacity_le, 8));
  for (size_t i = 32; i < 160; ++i) EXPECT_EQ(buf[i], 0) << i;
  // The reserved tail is never written.
  for (size_t i = 160; i < 192; ++i) EXPECT_EQ(buf[i], 0xAB) << i;
}

}  // namespace
}  // namespace vel
